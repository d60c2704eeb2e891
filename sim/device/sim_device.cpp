#include "sim/device/sim_device.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "sim/device/descriptor.h"

namespace orvane {
namespace kvsim {
namespace {

constexpr uint32_t kDeviceInfoWord0 = 0x04B41003;  // vendor and product id of these cameras
constexpr uint32_t kIrChipId = 0x1A21;
constexpr uint32_t kColorChipId = 0x2B32;
constexpr uint32_t kMaxPendingTriggers = 65535;

// Flash-save parameter record (20 bytes): uint32 length (0 = the whole configuration memory), uint32 flags
// (bit 0: verify the checksum that follows), uint32 checksum (segment rule over `length` bytes), 8 reserved.
constexpr uint32_t kFlashVerifyChecksum = 1;

enum SegmentStatus : uint32_t { kSegmentOk = 0, kSegmentBadChecksum = 1, kSegmentBadOffset = 2 };

uint32_t wordSum(const uint8_t* data, size_t n) {
    uint32_t sum = 0;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) sum += getU32(data + i);
    if (i < n) {
        uint8_t tail[4] = {};
        std::memcpy(tail, data + i, n - i);
        sum += getU32(tail);
    }
    return sum;
}

}  // namespace

SimDevice::SimDevice(DeviceConfig config, std::shared_ptr<Clock> clock)
    : config_(std::move(config)), clock_(std::move(clock)), scene_(std::make_shared<PatternScene>()) {
    created_us_ = clock_->nowMicros();
    if (!config_.descriptor_file_text.empty()) {
        // A loaded descriptor's calibration is the one the streams are rendered with.
        calibrationFromDescriptor(config_.descriptor_file_text, config_.calibration, nullptr);
    }
    settings_ = config_.initial;
    settings_.work_mode = 0;
    if (!depthModeSupported(settings_.depth_mode)) settings_.depth_mode = 2;
    if (!colorModeSupported(settings_.color_mode)) settings_.color_mode = 2;
    config_memory_.assign(std::max(config_.config_memory_size, kSegmentSize), 0);
    registers_[0][kChipIdRegister] = kIrChipId;
    registers_[1][kChipIdRegister] = kIrChipId;
    registers_[2][kChipIdRegister] = kColorChipId;
}

void SimDevice::log(const char* fmt, ...) {
    if (!command_log_) return;
    char buf[512];
    int n = std::snprintf(buf, sizeof buf, "%s ", config_.identity.serial.c_str());
    va_list ap;
    va_start(ap, fmt);
    if (n >= 0 && static_cast<size_t>(n) < sizeof buf) std::vsnprintf(buf + n, sizeof buf - n, fmt, ap);
    va_end(ap);
    command_log_(buf);
}

// ---- transport side
// ------------------------------------------------------------------------------------------

void SimDevice::onConnect() {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = true;
    decoder_.reset();
    output_.clear();
    sequence_ = 0;
    pending_triggers_ = 0;
    counters_ = StreamCounters();
    held_.clear();
    ++stats_.connections;
    if (hook_) hook_->onConnect();
}

void SimDevice::onDisconnect() {
    std::unique_lock<std::mutex> lock(mutex_);
    connected_ = false;
    // Nobody is reading any more: streaming stops, as the camera's firmware does when its host goes away.
    settings_.work_mode = 0;
    pending_triggers_ = 0;
    output_.clear();
    held_.clear();
    decoder_.reset();
    ++wake_generation_;
    lock.unlock();
    output_cv_.notify_all();
}

void SimDevice::receive(const uint8_t* data, size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    counters_.bytes_in += n;
    std::vector<WirePacket> packets;
    if (hook_) {
        Bytes bytes(data, data + n);
        hook_->onIncoming(bytes, counters_);
        decoder_.feed(bytes, packets);
    } else {
        decoder_.feed(data, n, packets);
    }
    for (const WirePacket& p : packets) {
        ++counters_.requests;
        ++stats_.requests;
        if (hook_ && !hook_->onRequest(p, counters_)) {
            log("<- request id %u type %u dropped by fault plan", p.header.packet_id, p.header.type);
            continue;
        }
        handleRequest(p);
    }
    serviceLocked(clock_->nowMicros());
}

void SimDevice::service() {
    std::lock_guard<std::mutex> lock(mutex_);
    serviceLocked(clock_->nowMicros());
}

int64_t SimDevice::nextEventMicros() {
    std::lock_guard<std::mutex> lock(mutex_);
    return nextEventLocked(clock_->nowMicros());
}

int64_t SimDevice::nextEventLocked(uint64_t now) {
    int64_t held = -1;
    if (!held_.empty()) {
        uint64_t due = held_.front().due_us;
        for (const HeldPacket& h : held_) due = std::min(due, h.due_us);
        held = due > now ? static_cast<int64_t>(due - now) : 0;
    }
    if (!connected_) return -1;
    const int64_t frame = nextFrameLocked(now);
    if (held < 0) return frame;
    return frame < 0 ? held : std::min(held, frame);
}

int64_t SimDevice::nextFrameLocked(uint64_t now) {
    if (settings_.work_mode == 0) return -1;
    if (settings_.trigger_mode && pending_triggers_ == 0) return -1;
    // A triggered frame is never skipped: it waits until the host has taken the previous one.
    if (settings_.trigger_mode && output_.pendingImageBytes() > 0) return -1;
    if (periodMicros() == 0) return output_.pendingImageBytes() > 0 ? -1 : 0;
    return next_due_ > now ? static_cast<int64_t>(next_due_ - now) : 0;
}

bool SimDevice::outputReadyLocked() {
    if (output_.empty()) return false;
    return !hook_ || hook_->outputAllowance(counters_) > 0;
}

bool SimDevice::waitForOutput(uint64_t timeout_us) {
    using std::chrono::microseconds;
    using std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = steady_clock::now() + microseconds(timeout_us);
    const uint64_t generation = wake_generation_;
    for (;;) {
        const uint64_t now = clock_->nowMicros();
        serviceLocked(now);
        if (outputReadyLocked()) return true;
        if (wake_generation_ != generation) return false;
        if (steady_clock::now() >= deadline) return false;
        auto until = deadline;
        int64_t next = nextEventLocked(now);
        if (next >= 0) until = std::min(until, steady_clock::now() + microseconds(next));
        output_cv_.wait_until(lock, until);
    }
}

void SimDevice::wakeWaiters() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++wake_generation_;
    }
    output_cv_.notify_all();
}

size_t SimDevice::gatherOutput(OutputSlice* slices, size_t max_slices, size_t max_bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    return gatherLocked(slices, max_slices, max_bytes);
}

size_t SimDevice::gatherLocked(OutputSlice* slices, size_t max_slices, size_t max_bytes) {
    if (hook_) max_bytes = std::min(max_bytes, hook_->outputAllowance(counters_));
    if (max_bytes == 0) return 0;
    size_t count = output_.gather(slices, max_slices, max_bytes);
    // Keep to the byte limit exactly, so that a fault's allowance is honoured to the byte.
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        if (total + slices[i].len >= max_bytes) {
            slices[i].len = max_bytes - total;
            return slices[i].len > 0 ? i + 1 : i;
        }
        total += slices[i].len;
    }
    return count;
}

void SimDevice::consumeOutput(size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    consumeLocked(n);
}

void SimDevice::consumeLocked(size_t n) {
    output_.consume(n);
    counters_.bytes_out += n;
    stats_.bytes_out += n;
    const uint64_t frames = output_.takeCompletedFrames();
    counters_.frames_sent += frames;
    stats_.frames_sent += frames;
    stats_.images_sent += output_.takeCompletedImages();
}

size_t SimDevice::readOutput(uint8_t* dst, size_t max) {
    // Gathered and copied under one lock: another thread may drop the output meanwhile (an unplug).
    std::lock_guard<std::mutex> lock(mutex_);
    OutputSlice slices[16];
    size_t count = gatherLocked(slices, 16, max);
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        std::memcpy(dst + total, slices[i].data, slices[i].len);
        total += slices[i].len;
    }
    if (total > 0) consumeLocked(total);
    return total;
}

bool SimDevice::hasOutput() {
    std::lock_guard<std::mutex> lock(mutex_);
    return outputReadyLocked();
}

bool SimDevice::acceptsInput() {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_.pendingControlBytes() < kMaxPendingReplies;
}

size_t SimDevice::pendingOutputBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_.pendingBytes();
}

bool SimDevice::disconnectRequested() {
    std::lock_guard<std::mutex> lock(mutex_);
    return hook_ && hook_->disconnectNow(counters_);
}

bool SimDevice::disconnectIsAbortive() {
    std::lock_guard<std::mutex> lock(mutex_);
    return hook_ && hook_->abortiveDisconnect();
}

// ---- content, faults, inspection
// -----------------------------------------------------------------------------

void SimDevice::setScene(std::shared_ptr<Scene> scene) {
    std::lock_guard<std::mutex> lock(mutex_);
    scene_ = scene ? std::move(scene) : std::make_shared<PatternScene>();
    contentChanged();
}

void SimDevice::setFaultHook(std::shared_ptr<FaultHook> hook) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hook_ = std::move(hook);
    }
    output_cv_.notify_all();  // the output allowance may have changed
}

void SimDevice::setCommandLog(std::function<void(const std::string&)> log) {
    std::lock_guard<std::mutex> lock(mutex_);
    command_log_ = std::move(log);
}

DeviceSettings SimDevice::settings() {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_;
}

DeviceStats SimDevice::stats() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

TrafficStats SimDevice::trafficStats() {
    std::lock_guard<std::mutex> lock(mutex_);
    TrafficStats t;
    t.bytes_out = stats_.bytes_out;
    t.frames_sent = stats_.frames_sent;
    t.frames_skipped = stats_.frames_skipped;
    return t;
}

Bytes SimDevice::configMemory() {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_memory_;
}

Bytes SimDevice::flashImage() {
    std::lock_guard<std::mutex> lock(mutex_);
    return flash_;
}

uint32_t SimDevice::flashSaves() {
    std::lock_guard<std::mutex> lock(mutex_);
    return flash_saves_;
}

uint32_t SimDevice::readRegister(uint8_t cam_id, uint32_t reg_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cam_id >= kSensorCount) return 0;
    auto it = registers_[cam_id].find(reg_id);
    return it == registers_[cam_id].end() ? 0 : it->second;
}

std::string SimDevice::descriptorText() {
    std::lock_guard<std::mutex> lock(mutex_);
    return descriptorLocked();
}

std::string SimDevice::descriptorLocked() const {
    if (!config_.descriptor_file_text.empty()) return config_.descriptor_file_text;
    return buildDefaultDescriptor(config_.identity, config_.calibration, settings_.depth_mode,
                                  settings_.color_mode);
}

std::string SimDevice::firmwareXml() {
    return buildFirmwareXml(config_.identity);
}

// ---- requests
// -------------------------------------------------------------------------------------------------

void SimDevice::ignore(const WirePacket& p, const char* why) {
    ++stats_.ignored_requests;
    log("   ignored request id %u (%s)", p.header.packet_id, why);
}

void SimDevice::handleRequest(const WirePacket& p) {
    if (p.truncated || p.malformed) {
        log("<- type %u id %u, %u bytes", p.header.type, p.header.packet_id, p.header.length);
        return ignore(p, p.truncated ? "payload too large" : "malformed");
    }
    switch (p.header.type) {
        case kPacketParam:
            return handleParam(p);
        case kPacketRegister:
            return handleRegister(p);
        default:
            log("<- type %u id %u, %u bytes", p.header.type, p.header.packet_id, p.header.length);
            return ignore(p, "not a request type");
    }
}

void SimDevice::push(OutPacket packet) {
    if (hook_) {
        if (!hook_->onOutgoing(packet, counters_)) return;
        // A held packet goes out once its time has come; the packets behind it do not wait for it.
        const uint64_t hold = hook_->holdMicros(packet, counters_);
        if (hold > 0) {
            held_.push_back(HeldPacket{clock_->nowMicros() + hold, std::move(packet)});
            return;
        }
    }
    queueLocked(std::move(packet));
}

void SimDevice::releaseHeldLocked(uint64_t now) {
    for (auto it = held_.begin(); it != held_.end();) {
        if (it->due_us <= now) {
            queueLocked(std::move(it->packet));
            it = held_.erase(it);
        } else {
            ++it;
        }
    }
}

void SimDevice::queueLocked(OutPacket packet) {
    if (packet.kind == OutPacket::kImage) {
        output_.pushImage(std::move(packet));
    } else {
        output_.pushControl(std::move(packet));
    }
    output_cv_.notify_all();
}

void SimDevice::reply(uint8_t packet_id, Bytes payload) {
    OutPacket p;
    p.kind = OutPacket::kParamReply;
    PacketHeader h;
    h.packet_id = packet_id;
    h.type = kPacketParam;
    h.length = static_cast<uint32_t>(payload.size());
    p.head.resize(kBlockSize);
    encodeBlock(h, p.head.data());
    p.body_len = payload.size();
    p.body = std::make_shared<const Bytes>(std::move(payload));
    push(std::move(p));
}

void SimDevice::replyRegister(const RegisterAccess& access) {
    Bytes packet = encodeRegisterPacket(access);
    OutPacket p;
    p.kind = OutPacket::kRegisterReply;
    p.head.assign(packet.begin(), packet.begin() + kBlockSize);
    p.body_len = packet.size() - kBlockSize;
    p.body = std::make_shared<const Bytes>(packet.begin() + kBlockSize, packet.end());
    push(std::move(p));
}

void SimDevice::handleRegister(const WirePacket& p) {
    std::optional<RegisterAccess> access = decodeRegisterPayload(p.payload);
    if (!access) {
        log("<- register packet, %zu bytes", p.payload.size());
        return ignore(p, "register packet of the wrong size");
    }
    log("<- register %s cam %u reg 0x%x value 0x%x", access->is_read ? "read" : "write", access->cam_id,
        access->reg_id, access->value);
    if (access->cam_id >= kSensorCount) return ignore(p, "no such sensor");
    auto& file = registers_[access->cam_id];
    if (access->is_read) {
        auto it = file.find(access->reg_id);
        access->value = it == file.end() ? 0 : it->second;
        replyRegister(*access);
    } else {
        // Writes are not echoed: an echo could end the wait of a read that the host sends right after.
        file[access->reg_id] = access->value;
    }
}

void SimDevice::setWorkMode(uint16_t mode) {
    uint16_t old = settings_.work_mode;
    settings_.work_mode = mode;
    if (mode == 0) {
        output_.dropQueuedImages();
        pending_triggers_ = 0;
    } else if (old == 0) {
        next_due_ = clock_->nowMicros();  // first frame at once
    }
}

void SimDevice::handleParam(const WirePacket& p) {
    const Bytes& b = p.payload;
    const uint8_t id = p.header.packet_id;
    if (b.size() < 4) {
        log("<- parameter packet id %u, %zu bytes", id, b.size());
        return ignore(p, "no command code");
    }
    const uint32_t code = getU32(b.data());
    log("<- %s (id %u, %zu bytes)", commandName(code).c_str(), id, b.size());
    auto has = [&](size_t n) { return b.size() >= n; };
    auto u16At = [&](size_t off) { return getU16(b.data() + off); };
    auto i32At = [&](size_t off) { return static_cast<int32_t>(getU32(b.data() + off)); };
    DeviceSettings& s = settings_;

    switch (code) {
        case kCmdPing:
            // The firmware-version request shares code 0 with ping; it carries a 1 at offset 12.
            if (has(16) && getU32(b.data() + 12) == 1) {
                const DeviceIdentity& d = config_.identity;
                return reply(id, firmwareVersionReply(d.fw_major, d.fw_minor, d.fw_patch));
            }
            return reply(id, pingReply());
        case kCmdDeviceInfo: {
            DeviceInfoRecord info;
            info.word0 = kDeviceInfoWord0;
            info.hw_major = config_.identity.hw_major;
            info.hw_minor = config_.identity.hw_minor;
            info.serial = config_.identity.serial;
            info.model = config_.identity.model;
            return reply(id, deviceInfoReply(info));
        }
        case kCmdLaserPower: {
            if (!has(6)) break;
            int v = u16At(4);
            bool ok = v <= kLaserPowerMax;
            if (ok && s.laser_power != v) {
                s.laser_power = v;
                contentChanged();
            }
            return reply(id, shortReply(code, ok ? 0 : -1, static_cast<int16_t>(s.laser_power)));
        }
        case query(kCmdLaserPower):
            return reply(id, shortReply(code, static_cast<int16_t>(s.laser_power), 0));
        case kCmdWorkMode: {
            if (!has(6)) break;
            uint16_t v = u16At(4);
            bool ok = (v & ~kWorkAll) == 0;
            if (ok) setWorkMode(v);
            return reply(id, shortReply(code, ok ? 0 : -1, static_cast<int16_t>(s.work_mode)));
        }
        case query(kCmdWorkMode):
            return reply(id, shortReply(code, static_cast<int16_t>(s.work_mode), 0));
        case kCmdConfigSegment:
            if (!has(kSegmentRequestLength)) break;
            return handleSegment(p);
        case kCmdSaveToFlash:
            if (!has(4 + kFlashSaveParamLength)) break;
            return handleFlashSave(p);
        case kCmdIntrinsic: {
            Bytes record;
            const Intrinsic& k = config_.calibration.depth;
            ByteWriter(record)
                .f32(k.fx)
                .f32(k.fy)
                .f32(k.cx)
                .f32(k.cy)
                .zeros(5 * 4)  // k1 k2 p1 p2 k3
                .u16(static_cast<uint16_t>(k.ref_width))
                .u16(static_cast<uint16_t>(k.ref_height))
                .f32(config_.calibration.baseline_mm);
            return reply(id, intrinsicReply(record.data()));
        }
        case kCmdDepthResolution:
        case kCmdRgbResolution: {
            if (!has(6)) break;
            int v = u16At(4);
            bool depth = code == kCmdDepthResolution;
            bool ok = depth ? depthModeSupported(v) : colorModeSupported(v);
            int& mode = depth ? s.depth_mode : s.color_mode;
            if (ok) mode = v;
            return reply(id, shortReply(code, ok ? 0 : -1, static_cast<int16_t>(mode)));
        }
        case query(kCmdDepthResolution):
            return reply(id, shortReply(code, static_cast<int16_t>(s.depth_mode), 0));
        case query(kCmdRgbResolution):
            return reply(id, shortReply(code, static_cast<int16_t>(s.color_mode), 0));
        case kCmdUndistort:
        case kCmdHistogram: {
            if (!has(6)) break;
            bool& flag = code == kCmdUndistort ? s.undistort : s.histogram;
            uint8_t v = b[5];
            if (v == kSwitchQuery) return reply(id, switchReply(code, 0, flag ? 1 : 0));
            if (v > 1) return reply(id, switchReply(code, 1, flag ? 1 : 0));
            if (flag != (v == 1)) {
                flag = v == 1;
                contentChanged();
            }
            return reply(id, switchReply(code, 0, v));
        }
        case kCmdTriggerMode: {
            if (!has(6)) break;
            bool on = u16At(4) != 0;
            s.trigger_mode = on;
            s.trigger_record_mode = on ? 1 : 0;
            pending_triggers_ = 0;
            return reply(id, shortReply(code, 0, on ? 1 : 0));
        }
        case query(kCmdTriggerMode):
            return reply(id, shortReply(code, s.trigger_mode ? 1 : 0, 0));
        case kCmdStructTrigger: {
            if (!has(7)) break;
            s.trigger_record_mode = u16At(4);
            s.trigger_record_param = b[6];
            s.trigger_mode = s.trigger_record_mode != 0;
            pending_triggers_ = 0;
            return reply(id, shortReply(code, 0, static_cast<int16_t>(s.trigger_record_mode)));
        }
        case query(kCmdStructTrigger): {
            Bytes out;
            ByteWriter(out).u32(code).u16(s.trigger_record_mode).u8(s.trigger_record_param).u8(0);
            return reply(id, out);
        }
        case kCmdTriggerOnce: {
            int16_t status = 0;
            if (!s.trigger_mode) {
                status = -1;
            } else if (s.work_mode == 0) {
                status = -2;
            } else {
                pending_triggers_ = std::min<uint32_t>(
                    pending_triggers_ + static_cast<uint32_t>(s.frames_per_trigger), kMaxPendingTriggers);
                uint64_t now = clock_->nowMicros();
                if (next_due_ > now) next_due_ = now;
            }
            return reply(id, shortReply(code, status,
                                        static_cast<int16_t>(std::min<uint32_t>(pending_triggers_, 32767))));
        }
        case kCmdFramesPerTrigger: {
            if (!has(6)) break;
            int v = u16At(4);
            bool ok = v >= 1 && v <= kFramesPerTriggerMax;
            if (ok) s.frames_per_trigger = v;
            return reply(id, shortReply(code, ok ? 0 : -1, static_cast<int16_t>(s.frames_per_trigger)));
        }
        case query(kCmdFramesPerTrigger):
            return reply(id, shortReply(code, static_cast<int16_t>(s.frames_per_trigger), 0));
        case kCmdCamGain: {
            if (!has(8)) break;
            int camid = u16At(4);
            int gain = static_cast<int16_t>(u16At(6));
            if (camid > 1) return reply(id, shortReply(code, -1, 0));
            bool ok = gain == kIrGainAuto || (gain >= 0 && gain <= kIrGainMax);
            if (ok && s.ir_gain[camid] != gain) {
                s.ir_gain[camid] = gain;
                contentChanged();
            }
            return reply(id, shortReply(code, ok ? 0 : -1, static_cast<int16_t>(s.ir_gain[camid])));
        }
        case query(kCmdCamGain): {
            // The colour gains are asked with the same code and a 20-byte payload.
            if (has(20)) {
                if (i32At(4) != kCamColor) return reply(id, wordsReply(code, {-1, 0, 0, 0}));
                return reply(id, wordsReply(code, {0, s.rgb_gain[0], s.rgb_gain[1], s.rgb_gain[2]}));
            }
            if (!has(6)) break;
            int camid = u16At(4);
            if (camid > 1) return reply(id, shortReply(code, -1, 0));
            return reply(id, shortReply(code, 0, static_cast<int16_t>(s.ir_gain[camid])));
        }
        case kCmdRgbGain: {
            if (!has(20)) break;
            int32_t g[3] = {i32At(8), i32At(12), i32At(16)};
            bool ok = i32At(4) == kCamColor;
            for (int32_t v : g) ok = ok && v >= 0 && v <= kRgbGainMax;
            if (ok) {
                std::copy(g, g + 3, s.rgb_gain);
                contentChanged();
            }
            return reply(id, wordsReply(code, {ok ? 0 : -1, s.rgb_gain[0], s.rgb_gain[1], s.rgb_gain[2]}));
        }
        case kCmdRgbExposure: {
            if (!has(12)) break;
            int32_t v = i32At(8);
            bool ok =
                i32At(4) == kCamColor && (v == kExposureAuto || (v >= kExposureMin && v <= kExposureMax));
            if (ok && s.exposure != v) {
                s.exposure = v;
                contentChanged();
            }
            return reply(id, wordsReply(code, {ok ? 0 : -1, s.exposure}));
        }
        case query(kCmdRgbExposure): {
            if (!has(8)) break;
            if (i32At(4) != kCamColor) return reply(id, wordsReply(code, {-1, 0}));
            return reply(id, wordsReply(code, {0, s.exposure}));
        }
        case kCmdRgbAwb: {
            if (!has(12)) break;
            uint32_t v = static_cast<uint32_t>(i32At(8));
            bool ok = i32At(4) == kCamColor && v <= 1;
            if (ok && s.awb != (v == 1)) {
                s.awb = v == 1;
                contentChanged();
            }
            return reply(id, wordsReply(code, {ok ? 0 : -1, s.awb ? 1 : 0}));
        }
        case query(kCmdRgbAwb): {
            if (!has(8)) break;
            if (i32At(4) != kCamColor) return reply(id, wordsReply(code, {-1, 0}));
            return reply(id, wordsReply(code, {0, s.awb ? 1 : 0}));
        }
        case kCmdLaserAuto: {
            if (!has(6)) break;
            s.laser_auto = u16At(4) != 0;
            return reply(id, shortReply(code, 0, s.laser_auto ? 1 : 0));
        }
        case query(kCmdLaserAuto):
            return reply(id, shortReply(code, s.laser_auto ? 1 : 0, 0));
        case query(kCmdDescriptor):
            return reply(id, descriptorReply(descriptorLocked()));
        case query(kCmdFirmwareXml):
            return reply(id, firmwareXmlReply(buildFirmwareXml(config_.identity)));
        case kCmdKeepAlive:
            return reply(id, keepAliveReply());
        case kCmdDeveloperMode:
            s.developer_mode = true;
            return reply(id, shortReply(code, 0, 1));
        default:
            return ignore(p, "unknown command");
    }
    ignore(p, "payload too short for its command");
}

void SimDevice::handleSegment(const WirePacket& p) {
    std::optional<SegmentRequest> seg = decodeSegmentRequest(p.payload);
    if (!seg) return ignore(p, "bad segment");
    uint32_t seen = segmentChecksum(seg->data, kSegmentSize);
    uint32_t status = kSegmentOk;
    if (seg->offset % kSegmentSize != 0 || seg->offset > config_memory_.size() - kSegmentSize) {
        status = kSegmentBadOffset;
    } else if (seen != seg->checksum) {
        status = kSegmentBadChecksum;
    } else {
        std::memcpy(config_memory_.data() + seg->offset, seg->data, kSegmentSize);
    }
    reply(p.header.packet_id, segmentAck(status, seg->offset, seen));
}

void SimDevice::handleFlashSave(const WirePacket& p) {
    const uint8_t* param = p.payload.data() + 4;
    uint32_t length = getU32(param);
    uint32_t flags = getU32(param + 4);
    uint32_t checksum = getU32(param + 8);
    size_t n = length == 0 ? config_memory_.size() : length;
    uint32_t status = 0;
    if (n > config_memory_.size()) {
        status = 2;
    } else if ((flags & kFlashVerifyChecksum) && wordSum(config_memory_.data(), n) != checksum) {
        status = 1;
    } else {
        flash_.assign(config_memory_.begin(), config_memory_.begin() + static_cast<long>(n));
        ++flash_saves_;
    }
    reply(p.header.packet_id, flashSaveReply(status));
}

// ---- streaming
// -------------------------------------------------------------------------------------------------

uint64_t SimDevice::periodMicros() const {
    if (config_.fps <= 0) return 0;
    return static_cast<uint64_t>(std::llround(1e6 / config_.fps));
}

void SimDevice::serviceLocked(uint64_t now) {
    if (!held_.empty()) releaseHeldLocked(now);
    if (!connected_ || settings_.work_mode == 0) return;
    if (settings_.trigger_mode && pending_triggers_ == 0) return;
    if (now < next_due_) return;
    if (output_.pendingImageBytes() > 0) {
        // The host has not taken the previous frame yet. A triggered frame waits; a free-running sensor
        // frame is lost (its sequence number is used up, as on the real sensor).
        if (settings_.trigger_mode) return;
        if (periodMicros() == 0) return;
        ++sequence_;
        ++stats_.frames_skipped;
    } else {
        emitFrame(now);
        if (settings_.trigger_mode) --pending_triggers_;
    }
    uint64_t period = periodMicros();
    next_due_ += period;
    if (next_due_ <= now) next_due_ = now + period;
}

void SimDevice::emitFrame(uint64_t now) {
    const uint32_t seq = ++sequence_;
    const uint64_t ts = timestampAt(now);
    const uint16_t mode = settings_.work_mode;
    const ResolutionMode* depth = findResolutionMode(settings_.depth_mode);
    const ResolutionMode* color = findResolutionMode(settings_.color_mode);

    struct Stream {
        uint8_t cam, format;
        int w, h;
    };
    Stream streams[5];
    int count = 0;
    if (mode & kWorkDepth)
        streams[count++] = {kCamDepth, kPixDepth16, depth->stream_width, depth->stream_height};
    if (mode & kWorkInfrared) {
        streams[count++] = {kCamLeftIr, kPixMono8, depth->stream_width, depth->stream_height};
        streams[count++] = {kCamRightIr, kPixMono8, depth->stream_width, depth->stream_height};
    }
    if (mode & kWorkColor)
        streams[count++] = {kCamColor, kPixRgb24, color->stream_width, color->stream_height};
    if (mode & kWorkAux) streams[count++] = {kCamAux, kPixMono8, static_cast<int>(kAuxDataSize), 1};

    for (int i = 0; i < count; ++i) {
        const Stream& st = streams[i];
        std::shared_ptr<Bytes> data =
            st.cam == kCamAux ? auxRecord(seq, ts) : imageFor(st.cam, st.format, st.w, st.h, seq, ts);
        queueImage(st.cam, st.format, st.w, st.h, std::move(data), seq, ts, i == count - 1);
    }
    ++stats_.frames_queued;
    ++counters_.frames_queued;
}

std::shared_ptr<Bytes> SimDevice::imageFor(uint8_t cam_id, uint8_t format, int width, int height,
                                           uint32_t sequence, uint64_t timestamp) {
    const size_t size =
        static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(bytesPerPixel(format));
    std::shared_ptr<Bytes>& slot = cache_[CacheKey{cam_id, width, height}];
    const bool animated = scene_->animated();
    if (!slot || animated) {
        // Never draw over bytes that a queued packet still points at.
        if (!slot || slot.use_count() > 1) slot = std::make_shared<Bytes>(size);
        RenderContext ctx;
        ctx.cam_id = cam_id;
        ctx.pixel_format = format;
        ctx.width = width;
        ctx.height = height;
        const Intrinsic& k = cam_id == kCamColor ? config_.calibration.color : config_.calibration.depth;
        ctx.intrinsic = k.scaledTo(width, height);
        ctx.calibration = &config_.calibration;
        ctx.settings = &settings_;
        ctx.sequence = sequence;
        ctx.timestamp_us = timestamp;
        scene_->render(ctx, slot->data(), size);
        ++stats_.renders;
    } else if (slot.use_count() > 1) {
        slot = std::make_shared<Bytes>(*slot);
    }
    if (config_.stamp_frames && size >= 8) {
        putU32(slot->data(), sequence);
        putU32(slot->data() + 4, static_cast<uint32_t>(timestamp));
    }
    return slot;
}

std::shared_ptr<Bytes> SimDevice::auxRecord(uint32_t sequence, uint64_t timestamp) {
    auto data = std::make_shared<Bytes>();
    data->reserve(kAuxDataSize);
    const DeviceSettings& s = settings_;
    ByteWriter(*data)
        .bytes(reinterpret_cast<const uint8_t*>("KVAX"), 4)
        .u32(sequence)
        .u32(static_cast<uint32_t>(timestamp))
        .u32(static_cast<uint32_t>(timestamp >> 32))
        .u16(s.work_mode)
        .u16(static_cast<uint16_t>(s.laser_power))
        .i16(static_cast<int16_t>(s.ir_gain[0]))
        .i16(static_cast<int16_t>(s.ir_gain[1]))
        .i32(s.exposure)
        .u8(static_cast<uint8_t>(s.depth_mode))
        .u8(static_cast<uint8_t>(s.color_mode))
        .u8(s.trigger_mode ? 1 : 0)
        .u8(0);
    data->resize(kAuxDataSize, 0);
    return data;
}

void SimDevice::queueImage(uint8_t cam_id, uint8_t format, int width, int height, std::shared_ptr<Bytes> data,
                           uint32_t sequence, uint64_t timestamp, bool frame_end) {
    ImageHeader image;
    image.width = static_cast<uint16_t>(width);
    image.height = static_cast<uint16_t>(height);
    image.timestamp_low = static_cast<uint32_t>(timestamp);
    image.cam_id = cam_id;
    image.pixel_format = format;
    image.frame_index = static_cast<uint8_t>(sequence);
    image.extra_len = kTimestampExtraLen;
    uint8_t extra[kTimestampExtraLen];
    encodeTimestampExtra(timestamp, extra);

    OutPacket p;
    p.kind = OutPacket::kImage;
    p.cam_id = cam_id;
    p.sequence = sequence;
    p.frame_end = frame_end;
    p.head = encodeImagePrefix(0, image, extra, data->size());
    p.body_len = data->size();
    p.body = std::move(data);
    push(std::move(p));
}

}  // namespace kvsim
}  // namespace orvane
