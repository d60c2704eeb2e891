// Internals of the portability layer that its tests reach directly: conversions that must stay correct at
// the edges of their ranges, and the write stall limit of the socket table.
#pragma once

#include <stdint.h>
#include <time.h>

namespace orvane {
namespace hal {

// Seconds * 1000 + microseconds / 1000, reduced modulo 2^32 without signed overflow.
uint32_t millisecondsFromTimeval(int64_t seconds, int64_t microseconds);

// The interval UTIL_Sleep waits for ms milliseconds (valid for the whole uint32_t range).
timespec sleepInterval(uint32_t ms);

// SOCK_Write gives up with -2 when the peer accepts no byte at all for this long.
constexpr uint32_t kDefaultWriteStallLimitMs = 30000;
void setSocketWriteStallLimit(uint32_t ms);
uint32_t socketWriteStallLimit();

// A client SOCK_Open gives up with -1 (ETIMEDOUT printed) when the peer has not completed the handshake by
// then.
constexpr uint32_t kDefaultConnectTimeLimitMs = 3000;
void setSocketConnectTimeLimit(uint32_t ms);

// The connected descriptor of a socket slot in use, else -1.
int connectedDescriptor(int handle);

}  // namespace hal
}  // namespace orvane
