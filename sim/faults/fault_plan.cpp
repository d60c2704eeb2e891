#include "sim/faults/fault_plan.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>

#include "sim/wire/packets.h"

namespace orvane {
namespace kvsim {
namespace {

constexpr size_t kLengthOffset = 12;  // of the header's length field within sync + header
constexpr size_t kCamIdOffset = kBlockSize + 8;
constexpr size_t kPixelFormatOffset = kBlockSize + 9;
constexpr uint32_t kWrongCodeDelta = 0x100;
constexpr uint32_t kDescriptorReplyCode = 0x8000000Cu;
constexpr uint32_t kKeepAliveCode = 224;
constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

uint64_t splitmix(uint64_t& state) {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

bool contains(const std::vector<uint32_t>& list, uint32_t code) {
    return std::find(list.begin(), list.end(), code) != list.end();
}

// ---- the --fault text

bool parseUnsigned(const std::string& text, uint64_t max, uint64_t& out) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v;
    if (text.size() > 2 && text[0] == '0' && text[1] == 'x') {
        v = std::strtoull(text.c_str() + 2, &end, 16);
    } else {
        v = std::strtoull(text.c_str(), &end, 10);
    }
    if (errno != 0 || *end != '\0' || v > max) return false;
    out = v;
    return true;
}

bool parseRate(const std::string& text, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(v > 0 && v <= 1)) return false;
    out = v;
    return true;
}

// "A" or "A:B" into two numbers; `second` keeps its value when there is no ":B".
bool parsePair(const std::string& text, uint64_t max_first, uint64_t& first, uint64_t max_second,
               uint64_t& second, bool second_required) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return !second_required && parseUnsigned(text, max_first, first);
    return parseUnsigned(text.substr(0, colon), max_first, first) &&
           parseUnsigned(text.substr(colon + 1), max_second, second);
}

}  // namespace

bool FaultSettings::any() const {
    return close_after_bytes || close_after_frames || flip_rate > 0 || insert_rate > 0 || garbage_max ||
           stall_ms || no_keepalive || !drop_replies.empty() || !delay_replies.empty() ||
           !wrong_code_replies.empty() || !wrong_length_replies.empty() || bad_descriptor_checksum ||
           oversize_bytes || unknown_cam_id >= 0 || unknown_pixel_format >= 0;
}

bool parseFaultSettings(const std::string& text, FaultSettings& out, std::string* error) {
    FaultSettings settings = out;
    auto fail = [error](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (text.empty()) return fail("empty fault list");
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const bool has_value = eq != std::string::npos;
        const std::string value = has_value ? item.substr(eq + 1) : std::string();
        uint64_t a = 0, b = 0;
        auto bad = [&](const std::string& form) { return fail("fault '" + item + "': expected " + form); };
        if (key == "seed") {
            if (!parseUnsigned(value, kNever, a)) return bad("seed=N");
            settings.seed = a;
        } else if (key == "close-after-bytes" || key == "reset-after-bytes") {
            if (!parseUnsigned(value, kNever, a) || a == 0) return bad(key + "=N with N >= 1");
            settings.close_after_bytes = a;
            settings.reset = key[0] == 'r';
        } else if (key == "close-after-frames" || key == "reset-after-frames") {
            if (!parseUnsigned(value, kNever, a) || a == 0) return bad(key + "=N with N >= 1");
            settings.close_after_frames = a;
            settings.reset = key[0] == 'r';
        } else if (key == "flip" || key == "insert") {
            double rate = 0;
            if (!parseRate(value, rate)) return bad(key + "=RATE with 0 < RATE <= 1");
            (key == "flip" ? settings.flip_rate : settings.insert_rate) = rate;
        } else if (key == "garbage") {
            a = 16;
            if (has_value && (!parseUnsigned(value, 65536, a) || a == 0))
                return bad("garbage[=N], N 1 to 65536");
            settings.garbage_max = static_cast<uint32_t>(a);
        } else if (key == "stall") {
            if (!parsePair(value, 600000, a, kNever, b, false) || a == 0)
                return bad("stall=MS[:AFTER_BYTES], MS 1 to 600000");
            settings.stall_ms = static_cast<uint32_t>(a);
            settings.stall_after_bytes = b;
        } else if (key == "no-keepalive") {
            if (has_value && !parseUnsigned(value, 0xffffffffu, a)) return bad("no-keepalive[=N]");
            settings.no_keepalive = true;
            settings.keepalives_answered = static_cast<uint32_t>(a);
        } else if (key == "drop") {
            if (!parseUnsigned(value, 0xffffffffu, a)) return bad("drop=CODE");
            settings.drop_replies.push_back(static_cast<uint32_t>(a));
        } else if (key == "delay") {
            if (!parsePair(value, 0xffffffffu, a, 600000, b, true)) return bad("delay=CODE:MS");
            settings.delay_replies.emplace_back(static_cast<uint32_t>(a), static_cast<uint32_t>(b));
        } else if (key == "wrong-code") {
            if (!parseUnsigned(value, 0xffffffffu, a)) return bad("wrong-code=CODE");
            settings.wrong_code_replies.push_back(static_cast<uint32_t>(a));
        } else if (key == "wrong-length") {
            b = 4;
            if (!parsePair(value, 0xffffffffu, a, kMaxParamReplyLength, b, false))
                return bad("wrong-length=CODE[:LENGTH], LENGTH 0 to 51199");
            settings.wrong_length_replies.emplace_back(static_cast<uint32_t>(a), static_cast<uint32_t>(b));
        } else if (key == "bad-descriptor-checksum") {
            if (has_value) return bad("bad-descriptor-checksum without a value");
            settings.bad_descriptor_checksum = true;
        } else if (key == "oversize-images") {
            a = 64;
            if (has_value && (!parseUnsigned(value, 1 << 20, a) || a == 0))
                return bad("oversize-images[=BYTES]");
            settings.oversize_bytes = static_cast<uint32_t>(a);
        } else if (key == "unknown-cam-id" || key == "unknown-pixel-format") {
            const bool cam = key == "unknown-cam-id";
            a = 9;
            b = 1;
            if (has_value && !parsePair(value, 255, a, 0xffffffffu, b, false))
                return bad(key + "[=VALUE[:EVERY]]");
            if (b == 0) return bad(key + "[=VALUE[:EVERY]] with EVERY >= 1");
            if (cam) {
                if (a <= 4) return bad("unknown-cam-id=ID with ID 5 to 255 (0-4 are real sensors)");
                settings.unknown_cam_id = static_cast<int>(a);
                settings.unknown_cam_every = static_cast<uint32_t>(b);
            } else {
                if (a <= 6) return bad("unknown-pixel-format=F with F 7 to 255 (0-6 are real formats)");
                settings.unknown_pixel_format = static_cast<int>(a);
                settings.unknown_format_every = static_cast<uint32_t>(b);
            }
        } else {
            return fail("unknown fault '" + item + "' (see --help)");
        }
    }
    out = settings;
    return true;
}

std::string faultHelpText() {
    return "Faults (--fault ITEM[,ITEM...]; the option may be repeated; counts are per connection, CODE is\n"
           "the command code a reply echoes, decimal or 0x hex, e.g. 0x8000000c for the descriptor):\n"
           "  seed=N                   seed of every random choice (default 1)\n"
           "  close-after-bytes=N      close the connection cleanly after N bytes of output\n"
           "  reset-after-bytes=N      the same with a TCP reset (USB: the device is unplugged)\n"
           "  close-after-frames=N     send N complete frames, then close (reset-after-frames=N: reset)\n"
           "  flip=RATE                flip each output byte with probability RATE (0 < RATE <= 1)\n"
           "  insert=RATE              insert a random byte before each output byte with probability RATE\n"
           "  garbage[=N]              1 to N (default 16) random bytes in front of every packet\n"
           "  stall=MS[:AFTER]         stop sending for MS ms once AFTER bytes (default 0) went out\n"
           "  no-keepalive[=N]         answer the first N (default 0) keep-alive requests, then none\n"
           "  drop=CODE                never send the reply to CODE (the command still takes effect)\n"
           "  delay=CODE:MS            send the reply to CODE MS milliseconds late\n"
           "  wrong-code=CODE          the reply to CODE echoes CODE + 0x100\n"
           "  wrong-length=CODE[:LEN]  the reply to CODE has LEN payload bytes (default 4)\n"
           "  bad-descriptor-checksum  the descriptor reply carries a wrong checksum byte\n"
           "  oversize-images[=N]      every image has N (default 64) data bytes more than its geometry\n"
           "  unknown-cam-id[=ID[:K]]  every K-th image (default 1) carries camera id ID (default 9)\n"
           "  unknown-pixel-format[=F[:K]]  every K-th image carries pixel format F (default 9)\n"
           "  Example: --fault seed=7,flip=1e-6,garbage=8 --fault delay=0x80000002:300\n";
}

// ---- the plan ------------------------------------------------------------------------------------------

FaultPlan::FaultPlan(FaultSettings settings, std::shared_ptr<Clock> clock)
    : settings_(std::move(settings)), clock_(clock ? std::move(clock) : std::make_shared<SteadyClock>()) {
    std::lock_guard<std::mutex> lock(mutex_);
    rng_ = settings_.seed;
    next_flip_ = gap(settings_.flip_rate);
    next_insert_ = gap(settings_.insert_rate);
}

FaultStats FaultPlan::stats() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

uint64_t FaultPlan::next() {
    return splitmix(rng_);
}

uint64_t FaultPlan::gap(double rate) {
    if (!(rate > 0)) return kNever;
    if (rate >= 1) return 0;
    // Geometric distribution: the number of bytes before the next event.
    const double u = (static_cast<double>(next() >> 11) + 0.5) * (1.0 / 9007199254740992.0);
    const double g = std::floor(std::log(u) / std::log1p(-rate));
    return g >= 1e18 ? kNever / 2 : static_cast<uint64_t>(g);
}

uint8_t FaultPlan::garbageByte() {
    uint8_t v = static_cast<uint8_t>(next() % 255);
    return v >= 0xFE ? static_cast<uint8_t>(v + 1) : v;
}

void FaultPlan::onConnect() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++stats_.connections;
    rng_ = settings_.seed;
    stream_pos_ = 0;
    next_flip_ = gap(settings_.flip_rate);
    next_insert_ = gap(settings_.insert_rate);
    images_ = 0;
    frames_passed_ = 0;
    keepalives_ = 0;
    stall_started_ = false;
    stall_until_us_ = 0;
    disconnected_ = false;
}

bool FaultPlan::onRequest(const WirePacket& request, const StreamCounters&) {
    if (!settings_.no_keepalive || request.header.type != kPacketParam || request.payload.size() < 4)
        return true;
    if (getU32(request.payload.data()) != kKeepAliveCode) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    if (++keepalives_ <= settings_.keepalives_answered) return true;
    ++stats_.keepalives_ignored;
    return false;
}

bool FaultPlan::replyCode(const OutPacket& packet, uint32_t& code) {
    if (packet.kind != OutPacket::kParamReply || !packet.body || packet.body_len < 4) return false;
    code = getU32(packet.body->data() + packet.body_offset);
    return true;
}

bool FaultPlan::onOutgoing(OutPacket& packet, const StreamCounters&) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t code = 0;
    if (replyCode(packet, code)) {
        if (contains(settings_.drop_replies, code)) {
            ++stats_.replies_dropped;
            return false;
        }
        if (contains(settings_.wrong_code_replies, code)) {
            putU32(packet.editableBody().data(), code + kWrongCodeDelta);
            ++stats_.wrong_codes;
        }
        for (const auto& wl : settings_.wrong_length_replies) {
            if (wl.first != code) continue;
            packet.editableBody().resize(wl.second, 0);
            putU32(packet.head.data() + kLengthOffset, wl.second);
            ++stats_.wrong_lengths;
        }
        if (settings_.bad_descriptor_checksum && code == kDescriptorReplyCode && packet.body_len >= 8) {
            Bytes& body = packet.editableBody();
            body[6] = static_cast<uint8_t>(body[6] + 1 + next() % 255);
            ++stats_.bad_checksums;
        }
    } else if (packet.kind == OutPacket::kImage && packet.head.size() >= kBlockSize + kImageHeaderSize) {
        if (settings_.close_after_frames > 0 && frames_passed_ >= settings_.close_after_frames) {
            ++stats_.images_withheld;
            return false;
        }
        if (packet.frame_end) ++frames_passed_;
        ++images_;
        if (settings_.unknown_cam_id >= 0 && images_ % settings_.unknown_cam_every == 0) {
            packet.head[kCamIdOffset] = static_cast<uint8_t>(settings_.unknown_cam_id);
            ++stats_.unknown_cam_ids;
        }
        if (settings_.unknown_pixel_format >= 0 && images_ % settings_.unknown_format_every == 0) {
            packet.head[kPixelFormatOffset] = static_cast<uint8_t>(settings_.unknown_pixel_format);
            ++stats_.unknown_formats;
        }
        if (settings_.oversize_bytes > 0) {
            Bytes& body = packet.editableBody();
            for (uint32_t i = 0; i < settings_.oversize_bytes; ++i)
                body.push_back(static_cast<uint8_t>(next()));
            const uint32_t length = getU32(packet.head.data() + kLengthOffset);
            putU32(packet.head.data() + kLengthOffset, length + settings_.oversize_bytes);
            ++stats_.oversized_images;
        }
    }
    if (settings_.garbage_max > 0) {
        const uint32_t n = 1 + static_cast<uint32_t>(next() % settings_.garbage_max);
        Bytes garbage(n);
        for (uint8_t& b : garbage) b = garbageByte();
        packet.head.insert(packet.head.begin(), garbage.begin(), garbage.end());
        stats_.garbage_bytes += n;
    }
    corrupt(packet);
    return true;
}

void FaultPlan::corrupt(OutPacket& packet) {
    packet.settle();  // earlier edits may have changed the body's length
    const size_t body_len = packet.body ? packet.body_len : 0;
    const uint64_t size = packet.head.size() + body_len;
    const uint64_t end = stream_pos_ + size;
    if (next_flip_ >= end && next_insert_ >= end) {
        stream_pos_ = end;
        return;
    }
    // Some byte of this packet changes: work on one flat copy of it.
    Bytes flat;
    flat.reserve(size);
    flat.insert(flat.end(), packet.head.begin(), packet.head.end());
    if (body_len > 0) {
        const uint8_t* b = packet.body->data() + packet.body_offset;
        flat.insert(flat.end(), b, b + body_len);
    }
    while (next_flip_ < end) {
        flat[static_cast<size_t>(next_flip_ - stream_pos_)] ^= static_cast<uint8_t>(1 + next() % 255);
        ++stats_.flipped_bytes;
        next_flip_ += 1 + gap(settings_.flip_rate);
    }
    if (next_insert_ < end) {
        Bytes out;
        out.reserve(flat.size() + 16);
        uint64_t pos = stream_pos_;
        for (uint8_t byte : flat) {
            while (next_insert_ == pos) {
                out.push_back(static_cast<uint8_t>(next()));
                ++stats_.inserted_bytes;
                next_insert_ += 1 + gap(settings_.insert_rate);
            }
            out.push_back(byte);
            ++pos;
        }
        flat.swap(out);
    }
    stream_pos_ = end;
    packet.head.clear();
    packet.editableBody() = std::move(flat);
}

uint64_t FaultPlan::holdMicros(const OutPacket& packet, const StreamCounters&) {
    if (settings_.delay_replies.empty()) return 0;
    uint32_t code = 0;
    if (!replyCode(packet, code)) return 0;
    for (const auto& d : settings_.delay_replies) {
        if (d.first != code) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        ++stats_.replies_delayed;
        return static_cast<uint64_t>(d.second) * 1000;
    }
    return 0;
}

size_t FaultPlan::outputAllowance(const StreamCounters& counters) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t limit = kNever;
    if (settings_.close_after_bytes > 0)
        limit = settings_.close_after_bytes > counters.bytes_out
                    ? settings_.close_after_bytes - counters.bytes_out
                    : 0;
    if (settings_.stall_ms > 0) {
        if (!stall_started_ && counters.bytes_out >= settings_.stall_after_bytes) {
            stall_started_ = true;
            stall_until_us_ = clock_->nowMicros() + static_cast<uint64_t>(settings_.stall_ms) * 1000;
            ++stats_.stalls;
        }
        if (stall_started_) {
            if (clock_->nowMicros() < stall_until_us_) return 0;
        } else {
            limit = std::min(limit, settings_.stall_after_bytes - counters.bytes_out);
        }
    }
    return limit > std::numeric_limits<size_t>::max() ? std::numeric_limits<size_t>::max()
                                                      : static_cast<size_t>(limit);
}

bool FaultPlan::disconnectNow(const StreamCounters& counters) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool bytes = settings_.close_after_bytes > 0 && counters.bytes_out >= settings_.close_after_bytes;
    const bool frames =
        settings_.close_after_frames > 0 && counters.frames_sent >= settings_.close_after_frames;
    if (!(bytes || frames)) return false;
    if (!disconnected_) {
        disconnected_ = true;
        ++stats_.disconnects;
    }
    return true;
}

}  // namespace kvsim
}  // namespace orvane
