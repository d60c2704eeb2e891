#include "sim/replay/replay_script.h"

#include <algorithm>
#include <deque>
#include <iterator>

#include "sim/wire/packets.h"
#include "sim/wire/stream_decoder.h"

namespace orvane {
namespace kvsim {
namespace {

constexpr uint64_t kDefaultFrameMicros = 33333;  // a loop gap for a session of a single frame
// A request still unanswered when the next one with its packet id is sent this much later was never
// answered (the host gives up after 5 s): the next reply belongs to the newer one.
constexpr uint64_t kAbandonedNs = 5500000000ull;
// The tap reports a send after it returned, so a quick reply can be reported first; a reply that waited
// longer than this for its request answered none.
constexpr uint64_t kEarlyReplyNs = 1000000000ull;

// A packet id slot: replies are matched to the requests of the same type and id, in order. Only parameter
// and register packets are requests and replies.
bool answerable(const PacketHeader& h) {
    return h.type == kPacketParam || h.type == kPacketRegister;
}
size_t slotOf(const PacketHeader& h) {
    return (static_cast<size_t>(h.type) << 8) | h.packet_id;
}

// Register writes are never answered; every other request is.
bool expectsReply(const WirePacket& p) {
    if (p.header.type != kPacketRegister) return true;
    std::optional<RegisterAccess> access = decodeRegisterPayload(p.payload);
    return access && access->is_read;
}

Bytes encodeWhole(const WirePacket& p) {
    Bytes out(kBlockSize);
    encodeBlock(p.header, out.data());
    if (p.has_image) {
        out.resize(kBlockSize + kImageHeaderSize);
        encodeImageHeader(p.image, out.data() + kBlockSize);
        out.insert(out.end(), p.extra.begin(), p.extra.end());
    }
    out.insert(out.end(), p.payload.begin(), p.payload.end());
    return out;
}

uint8_t frameIndexOf(const RecordedImage& image) {
    return (*image.packet)[kBlockSize + 10];
}

uint64_t loopSpan(const std::vector<RecordedImage>& images) {
    if (images.empty()) return 0;
    const uint64_t first = images.front().offset_us;
    const uint64_t last = images.back().offset_us;
    uint64_t frames = 0;
    for (const RecordedImage& i : images) frames += i.frame_end ? 1 : 0;
    if (last <= first || frames < 2) return (last > first ? last - first : 0) + kDefaultFrameMicros;
    return last - first + (last - first) / (frames - 1);
}

}  // namespace

// Walks the stream pieces in recorded order.
class ReplayScriptBuilder::Walker {
  public:
    Walker(std::map<std::string, std::vector<Bytes>>& replies, std::vector<ImageSession>& sessions,
           ScriptStats& stats)
        : replies_(replies), sessions_(sessions), stats_(stats) {}

    void add(bool from_device, uint64_t time_ns, const uint8_t* data, size_t n) {
        packets_.clear();
        (from_device ? device_ : host_).feed(data, n, packets_);
        for (const WirePacket& p : packets_) {
            if (p.truncated || p.malformed) {
                stats_.dropped_bytes += kBlockSize + p.header.length;
            } else if (from_device) {
                fromDevice(p, time_ns);
            } else {
                fromHost(p, time_ns);
            }
        }
    }

    void finish() {
        stats_.dropped_bytes += host_.stats().garbage_bytes + device_.stats().garbage_bytes;
        for (Slot& slot : slots_) stats_.unmatched_replies += slot.early_replies.size();
        for (size_t i = 0; i < pending_sessions_.size(); ++i) {
            ImageSession session;
            for (const Arrival& a : pending_sessions_[i].images) {
                RecordedImage image = a.image;
                image.offset_us = a.time_ns > pending_sessions_[i].start_ns
                                      ? (a.time_ns - pending_sessions_[i].start_ns) / 1000
                                      : 0;
                session.images.push_back(std::move(image));
            }
            for (size_t k = 0; k < session.images.size(); ++k) {
                session.images[k].frame_end =
                    k + 1 == session.images.size() ||
                    frameIndexOf(session.images[k + 1]) != frameIndexOf(session.images[k]);
            }
            session.loop_span_us = loopSpan(session.images);
            if (!session.images.empty())
                session.index_span = static_cast<uint8_t>(frameIndexOf(session.images.back()) -
                                                          frameIndexOf(session.images.front()) + 1);
            sessions_.push_back(std::move(session));
        }
    }

  private:
    struct Request {
        std::string key;
        uint64_t time_ns;
    };
    struct Reply {
        Bytes packet;
        uint64_t time_ns;
    };
    struct Slot {
        std::deque<Request> requests;     // sent, not yet answered
        std::deque<Reply> early_replies;  // reported before their request
    };
    struct Arrival {
        RecordedImage image;
        uint64_t time_ns;
    };
    struct PendingSession {
        uint64_t start_ns = 0;
        bool started_by_host = false;
        uint64_t stop_ns = UINT64_MAX;  // when the host stopped it
        std::vector<Arrival> images;
    };

    void pair(const std::string& key, Bytes packet) {
        replies_[key].push_back(std::move(packet));
        ++stats_.replies;
    }

    void fromHost(const WirePacket& p, uint64_t time_ns) {
        ++stats_.requests;
        const std::string key = ReplayScript::requestKey(p.header.type, p.payload);
        replies_[key];  // seen, even if never answered
        if (answerable(p.header) && expectsReply(p)) {
            Slot& slot = slots_[slotOf(p.header)];
            while (!slot.early_replies.empty() &&
                   slot.early_replies.front().time_ns + kEarlyReplyNs < time_ns) {
                slot.early_replies.pop_front();
                ++stats_.unmatched_replies;
            }
            if (!slot.early_replies.empty()) {
                pair(key, std::move(slot.early_replies.front().packet));
                slot.early_replies.pop_front();
            } else {
                while (!slot.requests.empty() && slot.requests.front().time_ns + kAbandonedNs < time_ns)
                    slot.requests.pop_front();
                slot.requests.push_back(Request{key, time_ns});
            }
        }
        bool start = false;
        if (isWorkModeRequest(p.header.type, p.payload, &start)) {
            if (start && !streaming_) startSession(time_ns);
            if (!start && streaming_ && !pending_sessions_.empty())
                pending_sessions_.back().stop_ns = time_ns;
            streaming_ = start;
        }
    }

    // Images reported before the start request that caused them (the tap reports a send after it returned)
    // move into its session: all of a session no request started, and of a stopped one those that came
    // nearer to this start than to that stop.
    void startSession(uint64_t time_ns) {
        PendingSession session;
        session.start_ns = time_ns;
        session.started_by_host = true;
        if (!pending_sessions_.empty()) {
            PendingSession& last = pending_sessions_.back();
            auto belongsHere = [&](const Arrival& a) {
                return !last.started_by_host || a.time_ns >= time_ns ||
                       (a.time_ns > last.stop_ns && time_ns - a.time_ns < a.time_ns - last.stop_ns);
            };
            auto early = last.images.end();
            while (early != last.images.begin() && belongsHere(*(early - 1))) --early;
            session.images.assign(std::make_move_iterator(early), std::make_move_iterator(last.images.end()));
            last.images.erase(early, last.images.end());
            if (last.images.empty() && !last.started_by_host) pending_sessions_.pop_back();
            if (!session.images.empty()) session.start_ns = std::min(time_ns, session.images.front().time_ns);
        }
        pending_sessions_.push_back(std::move(session));
    }

    void fromDevice(const WirePacket& p, uint64_t time_ns) {
        if (p.header.type == kPacketImage) {
            if (!p.has_image) return;
            if (pending_sessions_.empty()) {
                pending_sessions_.emplace_back();
                pending_sessions_.back().start_ns = time_ns;
            }
            Arrival a;
            a.image.packet = std::make_shared<const Bytes>(encodeWhole(p));
            a.time_ns = time_ns;
            pending_sessions_.back().images.push_back(std::move(a));
            ++stats_.images;
            return;
        }
        if (!answerable(p.header)) {
            stats_.dropped_bytes += kBlockSize + p.header.length;
            return;
        }
        Slot& slot = slots_[slotOf(p.header)];
        if (slot.requests.empty()) {
            slot.early_replies.push_back(Reply{encodeWhole(p), time_ns});
            return;
        }
        pair(slot.requests.front().key, encodeWhole(p));
        slot.requests.pop_front();
    }

    std::map<std::string, std::vector<Bytes>>& replies_;
    std::vector<ImageSession>& sessions_;
    ScriptStats& stats_;
    StreamDecoder host_;
    StreamDecoder device_;
    std::vector<WirePacket> packets_;
    std::vector<Slot> slots_ = std::vector<Slot>(2 * 256);  // parameter and register packets by id
    bool streaming_ = false;
    std::vector<PendingSession> pending_sessions_;
};

bool isWorkModeRequest(uint8_t type, const Bytes& payload, bool* start) {
    if (type != kPacketParam || payload.size() < 6 || getU32(payload.data()) != kCmdWorkMode) return false;
    *start = getU16(payload.data() + 4) != 0;
    return true;
}

std::string ReplayScript::requestKey(uint8_t type, const Bytes& payload) {
    std::string key(1, static_cast<char>(type));
    key.append(payload.begin(), payload.end());
    return key;
}

std::string ReplayScript::recordedSerial() const {
    for (const auto& [key, replies] : replies_) {
        for (const Bytes& packet : replies) {
            std::optional<DeviceInfoRecord> info =
                decodeDeviceInfoReply(Bytes(packet.begin() + kBlockSize, packet.end()));
            if (info && !info->serial.empty()) return info->serial;
        }
    }
    return std::string();
}

const std::vector<Bytes>* ReplayScript::repliesTo(const std::string& key) const {
    auto it = replies_.find(key);
    return it == replies_.end() ? nullptr : &it->second;
}

ReplayScriptBuilder::ReplayScriptBuilder()
    : walker_(std::make_unique<Walker>(script_.replies_, script_.sessions_, script_.stats_)) {}

ReplayScriptBuilder::~ReplayScriptBuilder() = default;

void ReplayScriptBuilder::add(bool from_device, uint64_t time_ns, const uint8_t* data, size_t n) {
    walker_->add(from_device, time_ns, data, n);
}

bool ReplayScriptBuilder::finish(ReplayScript* out, std::string* error) {
    walker_->finish();
    const ScriptStats& stats = script_.stats_;
    if (stats.replies == 0 && stats.images == 0) {
        if (error)
            *error = stats.requests == 0 ? "the recording holds no device stream"
                                         : "the recording holds no reply of the device";
        return false;
    }
    *out = std::move(script_);
    return true;
}

bool ReplayScript::build(const std::vector<RecordedChunk>& chunks, ReplayScript* out, std::string* error) {
    ReplayScriptBuilder builder;
    for (const RecordedChunk& c : chunks)
        builder.add(c.from_device, c.time_ns, c.bytes.data(), c.bytes.size());
    return builder.finish(out, error);
}

}  // namespace kvsim
}  // namespace orvane
