#include "sim/wire/stream_decoder.h"

#include <algorithm>

namespace orvane {
namespace kvsim {

void StreamDecoder::reset() {
    state_ = State::kSync;
    matched_ = 0;
    scratch_fill_ = 0;
    remaining_ = 0;
    current_ = WirePacket();
}

// Matches the sync pattern with fall-back on a mismatch (fe 01 fe fe 01 fe 01 syncs on its last four bytes),
// so a lost byte costs the device at most one packet.
void StreamDecoder::searchSync(const uint8_t* data, size_t n, size_t& pos) {
    // Longest proper prefix of the pattern that is also a suffix of its first k bytes.
    static const size_t kFallback[4] = {0, 0, 1, 2};
    while (pos < n) {
        uint8_t b = data[pos++];
        while (matched_ > 0 && b != kSyncPattern[matched_]) {
            stats_.garbage_bytes += matched_ - kFallback[matched_];
            matched_ = kFallback[matched_];
        }
        if (b == kSyncPattern[matched_]) {
            ++matched_;
        } else {
            ++stats_.garbage_bytes;
        }
        if (matched_ == kSyncSize) {
            matched_ = 0;
            state_ = State::kHeader;
            scratch_fill_ = 0;
            return;
        }
    }
}

void StreamDecoder::feed(const uint8_t* data, size_t n, std::vector<WirePacket>& out) {
    size_t pos = 0;
    while (pos < n || (state_ == State::kPayload && remaining_ == 0) ||
           (state_ == State::kSkip && remaining_ == 0)) {
        switch (state_) {
            case State::kSync:
                searchSync(data, n, pos);
                break;
            case State::kHeader:
            case State::kImageHeader: {
                size_t take = std::min(kHeaderSize - scratch_fill_, n - pos);
                std::memcpy(scratch_ + scratch_fill_, data + pos, take);
                scratch_fill_ += take;
                pos += take;
                if (scratch_fill_ == kHeaderSize) {
                    if (state_ == State::kHeader) {
                        headerComplete(out);
                    } else {
                        imageHeaderComplete(out);
                    }
                }
                break;
            }
            case State::kExtra: {
                size_t want = current_.image.extra_len - current_.extra.size();
                size_t take = std::min(want, n - pos);
                current_.extra.insert(current_.extra.end(), data + pos, data + pos + take);
                pos += take;
                if (current_.extra.size() == current_.image.extra_len) startPayload(out);
                break;
            }
            case State::kPayload: {
                size_t take = std::min<size_t>(remaining_, n - pos);
                current_.payload.insert(current_.payload.end(), data + pos, data + pos + take);
                pos += take;
                remaining_ -= static_cast<uint32_t>(take);
                if (remaining_ == 0) finish(out);
                break;
            }
            case State::kSkip: {
                size_t take = std::min<size_t>(remaining_, n - pos);
                pos += take;
                remaining_ -= static_cast<uint32_t>(take);
                if (remaining_ == 0) finish(out);
                break;
            }
        }
    }
}

void StreamDecoder::headerComplete(std::vector<WirePacket>& out) {
    current_ = WirePacket();
    current_.header = decodeHeader(scratch_);
    if (!headerAcceptable(current_.header)) {
        ++stats_.bad_headers;
        // A false sync may overlap the real one (fe 01 | fe 01 ...): search again from the second byte of
        // the matched pattern, through the dropped header.
        uint8_t rescan[kSyncSize - 1 + kHeaderSize];
        std::memcpy(rescan, kSyncPattern + 1, kSyncSize - 1);
        std::memcpy(rescan + kSyncSize - 1, scratch_, kHeaderSize);
        state_ = State::kSync;
        matched_ = 0;
        size_t pos = 0;
        searchSync(rescan, sizeof rescan, pos);
        if (state_ == State::kHeader && pos < sizeof rescan) feed(rescan + pos, sizeof rescan - pos, out);
        return;
    }
    remaining_ = current_.header.length;
    if (current_.header.type == kPacketImage) {
        if (remaining_ < kImageHeaderSize) {
            current_.malformed = true;
            state_ = State::kSkip;
            return;
        }
        remaining_ -= kImageHeaderSize;
        scratch_fill_ = 0;
        state_ = State::kImageHeader;
        return;
    }
    startPayload(out);
}

void StreamDecoder::imageHeaderComplete(std::vector<WirePacket>& out) {
    current_.image = decodeImageHeader(scratch_);
    if (current_.image.extra_len > remaining_) {
        current_.malformed = true;
        state_ = State::kSkip;
        return;
    }
    remaining_ -= current_.image.extra_len;
    current_.has_image = true;
    if (current_.image.extra_len > 0) {
        state_ = State::kExtra;
        return;
    }
    startPayload(out);
}

void StreamDecoder::startPayload(std::vector<WirePacket>& out) {
    (void)out;
    if (remaining_ > keep_limit_) {
        current_.truncated = true;
        state_ = State::kSkip;
        return;
    }
    current_.payload.reserve(remaining_);
    state_ = State::kPayload;
}

void StreamDecoder::finish(std::vector<WirePacket>& out) {
    ++stats_.packets;
    out.push_back(std::move(current_));
    current_ = WirePacket();
    state_ = State::kSync;
    matched_ = 0;
}

}  // namespace kvsim
}  // namespace orvane
