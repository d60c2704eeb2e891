#include "api_fixture.h"

namespace apitest {
namespace {

// 127.0.4.80 and up belong to the connection time-limit tests.
const kvtest::TcpAddressRange kAddresses("127.0.4.", 1, 79);

}  // namespace
}  // namespace apitest
