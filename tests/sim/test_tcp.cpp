// The simulator over loopback TCP, driven by a raw client that speaks the camera's bytes, and the kvsim
// executable. Each test listens on its own loopback address (127.0.0.51 and up) on the camera port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>
#include <set>

#include "raw_client.h"
#include "sim/tcp/tcp_server.h"

extern char** environ;

namespace orvane {
namespace kvsim {
namespace {

using test::Millis;
using test::RawClient;
using test::waitUntil;

constexpr Millis kReply(3000);
constexpr Millis kFrame(5000);

struct Camera {
    explicit Camera(const std::string& address, DeviceConfig config = DeviceConfig())
        : device(std::make_shared<SimDevice>(std::move(config))),
          server(device, address, kDefaultCameraPort) {
        std::string error;
        started = server.start(&error);
        EXPECT_TRUE(started) << error;
    }
    std::shared_ptr<SimDevice> device;
    TcpCameraServer server;
    bool started = false;
};

int16_t i16At(const WirePacket& p, size_t off) {
    return p.payload.size() >= off + 2 ? static_cast<int16_t>(getU16(p.payload.data() + off)) : -12345;
}
int32_t i32At(const WirePacket& p, size_t off) {
    return p.payload.size() >= off + 4 ? static_cast<int32_t>(getU32(p.payload.data() + off)) : -12345;
}

// Waits for one complete frame holding an image of each of `cams`, all with one frame index.
std::map<uint8_t, WirePacket> awaitFrame(RawClient& client, const std::set<uint8_t>& cams, Millis timeout) {
    std::map<uint8_t, WirePacket> frame;
    int index = -1;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
        std::optional<WirePacket> p = client.await([](const WirePacket& w) { return w.has_image; }, left,
                                                   [](const WirePacket& w) { return !w.has_image; });
        if (!p) break;
        if (p->image.frame_index != index) {
            frame.clear();
            index = p->image.frame_index;
        }
        frame[p->image.cam_id] = std::move(*p);
        if (frame.size() == cams.size()) return frame;
    }
    return {};
}

TEST(SimOverTcp, RawClientPingsReadsVersionInfoAndSettings) {
    Camera cam("127.0.0.51");
    RawClient c;
    ASSERT_TRUE(c.connect("127.0.0.51", kDefaultCameraPort));

    std::optional<WirePacket> r = c.request(pingRequest());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->payload.size(), 8u);
    r = c.request(firmwareVersionRequest());
    ASSERT_TRUE(r);
    EXPECT_EQ(getU32(r->payload.data()), 0u);  // code 0, the quirk the host checks
    EXPECT_EQ(getU32(r->payload.data() + 4), 2u);
    EXPECT_EQ(getU32(r->payload.data() + 8), 3u);

    r = c.request(codeOnlyRequest(kCmdDeviceInfo));
    ASSERT_TRUE(r);
    std::optional<DeviceInfoRecord> info = decodeDeviceInfoReply(r->payload);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->serial, "KVSIM0000001");
    EXPECT_EQ(info->serial.size(), 12u);

    struct Setting {
        Bytes set, get;
        size_t offset;
        int expected;
        bool wide;
    };
    const int32_t gains[3] = {1, 2, 3};
    const Setting settings[] = {
        {u16Request(kCmdLaserPower, 66), u16Request(query(kCmdLaserPower), 0), 4, 66, false},
        {u16Request(kCmdLaserAuto, 1), u16Request(query(kCmdLaserAuto), 1), 4, 1, false},
        {u16Request(kCmdDepthResolution, 1), u16Request(query(kCmdDepthResolution), 0), 4, 1, false},
        {u16Request(kCmdRgbResolution, 4), u16Request(query(kCmdRgbResolution), 0), 4, 4, false},
        {camGainRequest(kCmdCamGain, 0, 20), camGainRequest(query(kCmdCamGain), 0, 0), 6, 20, false},
        {camGainRequest(kCmdCamGain, 1, 0xffff), camGainRequest(query(kCmdCamGain), 1, 0), 6, -1, false},
        {rgbGainSetRequest(2, gains), rgbGainQueryRequest(2), 16, 3, true},
        {camValueRequest(kCmdRgbExposure, 2, 250), camValueRequest(query(kCmdRgbExposure), 2, 0), 8, 250,
         true},
        {camValueRequest(kCmdRgbAwb, 2, 0), camValueRequest(query(kCmdRgbAwb), 2, 0), 8, 0, true},
        {u16Request(kCmdTriggerMode, 1), u16Request(query(kCmdTriggerMode), 0), 4, 1, false},
        {u16Request(kCmdFramesPerTrigger, 9), u16Request(query(kCmdFramesPerTrigger), 0), 4, 9, false},
        {switchRequest(kCmdUndistort, 1), switchRequest(kCmdUndistort, kSwitchQuery), 5, 1, false},
        {structTriggerRequest(3, 7), u16Request(query(kCmdStructTrigger), 0), 4, 3, false},
    };
    for (const Setting& s : settings) {
        SCOPED_TRACE(commandName(getU32(s.set.data())));
        ASSERT_TRUE(c.request(s.set));
        std::optional<WirePacket> back = c.request(s.get);
        ASSERT_TRUE(back);
        int value =
            s.wide ? i32At(*back, s.offset) : (s.offset == 5 ? back->payload.at(5) : i16At(*back, s.offset));
        EXPECT_EQ(value, s.expected);
    }
    r = c.request(camGainRequest(kCmdCamGain, 0, 99));
    ASSERT_TRUE(r);
    EXPECT_EQ(i16At(*r, 4), -1);  // the device reports the refusal
}

TEST(SimOverTcp, DescriptorWithValidChecksumAndFirmwareXml) {
    Camera cam("127.0.0.52");
    RawClient c;
    ASSERT_TRUE(c.connect("127.0.0.52", kDefaultCameraPort));
    std::optional<WirePacket> r = c.request(descriptorRequest());
    ASSERT_TRUE(r);
    std::optional<DescriptorReply> d = decodeDescriptorReply(r->payload);
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->checksum_ok);
    EXPECT_LE(r->payload.size(), kMaxParamReplyLength);
    EXPECT_NE(d->text.find("<comprotocol>1.0</comprotocol>"), std::string::npos);
    r = c.request(firmwareXmlRequest());
    ASSERT_TRUE(r);
    std::optional<std::string> xml = decodeFirmwareXmlReply(r->payload);
    ASSERT_TRUE(xml);
    EXPECT_NE(xml->find("<hash>kvsim-2.3.0</hash>"), std::string::npos);
}

TEST(SimOverTcp, DownloadsConfigurationAsynchronouslyAndSavesIt) {
    Camera cam("127.0.0.53");
    RawClient c;
    ASSERT_TRUE(c.connect("127.0.0.53", kDefaultCameraPort));
    Bytes image(20 * 1024 + 1);
    std::mt19937 rng(7);
    for (uint8_t& b : image) b = static_cast<uint8_t>(rng());
    const size_t segments = (image.size() + kSegmentSize - 1) / kSegmentSize;
    std::vector<uint32_t> status(segments, 1);

    // Every outstanding segment goes out back to back; acknowledgements retire them. The first pass sends
    // segment 5 with a broken checksum, so it must be refused and sent again.
    for (int pass = 0; pass < 3; ++pass) {
        size_t sent = 0;
        for (size_t i = 0; i < segments; ++i) {
            if (status[i] == 0) continue;
            size_t n = std::min(kSegmentSize, image.size() - i * kSegmentSize);
            Bytes req = configSegmentRequest(static_cast<uint32_t>(i * kSegmentSize),
                                             image.data() + i * kSegmentSize, n);
            if (pass == 0 && i == 5) req[8] ^= 1;
            ASSERT_TRUE(c.sendRequest(req, c.next_id++));
            ++sent;
        }
        for (size_t k = 0; k < sent; ++k) {
            std::optional<WirePacket> p =
                c.await([](const WirePacket& w) { return decodeSegmentAck(w.payload).has_value(); }, kReply);
            ASSERT_TRUE(p);
            SegmentAck ack = *decodeSegmentAck(p->payload);
            ASSERT_LT(ack.index, segments);
            status[ack.index] = ack.status;
        }
        if (pass == 0) {
            EXPECT_EQ(status[5], 1u);
        }
    }
    for (size_t i = 0; i < segments; ++i) ASSERT_EQ(status[i], 0u) << i;

    uint8_t param[20] = {};
    putU32(param, static_cast<uint32_t>(image.size()));
    std::optional<WirePacket> saved = c.request(flashSaveRequest(param));
    ASSERT_TRUE(saved);
    EXPECT_EQ(getU32(saved->payload.data()), kCmdSaveToFlash);
    EXPECT_EQ(getU32(saved->payload.data() + 4), 0u);
    EXPECT_EQ(cam.device->flashImage(), image);
    EXPECT_EQ(cam.device->flashSaves(), 1u);
}

TEST(SimOverTcp, ReadsAndWritesRegistersAndAnswersKeepAlives) {
    Camera cam("127.0.0.54");
    RawClient c;
    ASSERT_TRUE(c.connect("127.0.0.54", kDefaultCameraPort));
    ASSERT_TRUE(c.sendBytes(encodeRegisterPacket(RegisterAccess{0x3056, 0x1234, 0, 0})));
    ASSERT_TRUE(c.sendBytes(encodeRegisterPacket(RegisterAccess{0x3056, 0, 0, 1})));
    std::optional<WirePacket> r =
        c.await([](const WirePacket& p) { return p.header.type == kPacketRegister; }, kReply);
    ASSERT_TRUE(r);
    std::optional<RegisterAccess> a = decodeRegisterPayload(r->payload);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->reg_id, 0x3056u);
    EXPECT_EQ(a->value, 0x1234u);
    EXPECT_EQ(a->is_read, 1);
    EXPECT_EQ(r->header.packet_id, 0);

    for (int i = 0; i < 3; ++i) {
        std::optional<WirePacket> k = c.request(keepAliveRequest());
        ASSERT_TRUE(k);
        EXPECT_EQ(getU32(k->payload.data()), kCmdKeepAlive);
    }
}

TEST(SimOverTcp, StreamsWellFormedFramesAtEveryResolutionMode) {
    Camera cam("127.0.0.55");
    RawClient c;
    ASSERT_TRUE(c.connect("127.0.0.55", kDefaultCameraPort));
    const std::set<uint8_t> all = {kCamLeftIr, kCamRightIr, kCamColor, kCamDepth, kCamAux};
    for (int mode = 0; mode < kResolutionModeCount; ++mode) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        int color_mode = mode == 0 ? 1 : mode;
        ASSERT_TRUE(c.request(u16Request(kCmdDepthResolution, static_cast<uint16_t>(mode))));
        ASSERT_TRUE(c.request(u16Request(kCmdRgbResolution, static_cast<uint16_t>(color_mode))));
        ASSERT_TRUE(c.request(u16Request(kCmdWorkMode, kWorkAll)));
        std::map<uint8_t, WirePacket> frame = awaitFrame(c, all, kFrame);
        ASSERT_EQ(frame.size(), all.size());
        const ResolutionMode* d = findResolutionMode(mode);
        const ResolutionMode* col = findResolutionMode(color_mode);
        for (const auto& [cam_id, p] : frame) {
            int w = cam_id == kCamColor ? col->stream_width : cam_id == kCamAux ? 2048 : d->stream_width;
            int h = cam_id == kCamColor ? col->stream_height : cam_id == kCamAux ? 1 : d->stream_height;
            EXPECT_EQ(p.image.width, w) << int(cam_id);
            EXPECT_EQ(p.image.height, h) << int(cam_id);
            EXPECT_EQ(p.payload.size(), static_cast<size_t>(w) * h * bytesPerPixel(p.image.pixel_format));
            EXPECT_EQ(p.image.extra_len, 4);
            EXPECT_EQ(p.header.length, p.payload.size() + 16);
        }
        EXPECT_EQ(frame[kCamDepth].image.pixel_format, kPixDepth16);
        EXPECT_EQ(frame[kCamColor].image.pixel_format, kPixRgb24);
        EXPECT_EQ(frame[kCamLeftIr].image.timestamp_low, frame[kCamColor].image.timestamp_low);
        ASSERT_TRUE(c.request(u16Request(kCmdWorkMode, 0), kFrame));
        c.held.clear();
        // Nothing follows the reply to the stop.
        EXPECT_FALSE(c.await([](const WirePacket& p) { return p.has_image; }, Millis(150)));
    }
}

TEST(SimOverTcp, TriggerModeSendsFramesPerTriggerOnly) {
    DeviceConfig config;
    config.fps = 100;
    Camera cam("127.0.0.56", config);
    RawClient c;
    ASSERT_TRUE(c.connect("127.0.0.56", kDefaultCameraPort));
    ASSERT_TRUE(c.request(u16Request(kCmdTriggerMode, 1)));
    ASSERT_TRUE(c.request(u16Request(kCmdFramesPerTrigger, 4)));
    ASSERT_TRUE(c.request(u16Request(kCmdWorkMode, kWorkDepth)));
    EXPECT_FALSE(c.await([](const WirePacket& p) { return p.has_image; }, Millis(200)));

    std::optional<WirePacket> t = c.request(u16Request(kCmdTriggerOnce, 0));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->payload.size(), 8u);
    std::set<int> indices;
    for (int i = 0; i < 4; ++i) {
        std::optional<WirePacket> p = c.await([](const WirePacket& w) { return w.has_image; }, kFrame);
        ASSERT_TRUE(p);
        indices.insert(p->image.frame_index);
    }
    EXPECT_EQ(indices, (std::set<int>{1, 2, 3, 4}));
    EXPECT_FALSE(c.await([](const WirePacket& p) { return p.has_image; }, Millis(200)));
}

TEST(SimOverTcp, TwoCamerasInOneProcessDoNotDisturbEachOther) {
    DeviceConfig second;
    second.identity.serial = "KVSIM0000002";
    Camera a("127.0.0.57");
    Camera b("127.0.0.58", second);
    RawClient ca, cb;
    ASSERT_TRUE(ca.connect("127.0.0.57", kDefaultCameraPort));
    ASSERT_TRUE(cb.connect("127.0.0.58", kDefaultCameraPort));
    ASSERT_TRUE(ca.request(u16Request(kCmdWorkMode, kWorkDepth)));
    ASSERT_TRUE(cb.request(u16Request(kCmdLaserPower, 12)));
    ASSERT_TRUE(cb.request(u16Request(kCmdDepthResolution, 0)));

    for (int i = 0; i < 3; ++i) {
        std::map<uint8_t, WirePacket> f = awaitFrame(ca, {kCamDepth}, kFrame);
        ASSERT_EQ(f.size(), 1u);
        EXPECT_EQ(f[kCamDepth].image.width, 640);  // unchanged by the other camera
    }
    std::optional<WirePacket> pa = ca.request(u16Request(query(kCmdLaserPower), 0), kFrame);
    ASSERT_TRUE(pa);
    EXPECT_EQ(i16At(*pa, 4), DeviceSettings().laser_power);
    std::optional<WirePacket> ib = cb.request(codeOnlyRequest(kCmdDeviceInfo));
    ASSERT_TRUE(ib);
    EXPECT_EQ(decodeDeviceInfoReply(ib->payload)->serial, "KVSIM0000002");
    EXPECT_FALSE(cb.await([](const WirePacket& p) { return p.has_image; }, Millis(100)));
    EXPECT_EQ(b.device->settings().work_mode, 0);
    EXPECT_EQ(a.device->settings().depth_mode, 2);
}

TEST(SimOverTcp, ServesOneConnectionAtATimeAndTheNextAfterADisconnect) {
    Camera cam("127.0.0.59");
    RawClient first, second;
    ASSERT_TRUE(first.connect("127.0.0.59", kDefaultCameraPort));
    ASSERT_TRUE(first.request(pingRequest()));
    ASSERT_TRUE(first.request(u16Request(kCmdWorkMode, kWorkDepth)));

    ASSERT_TRUE(second.connect("127.0.0.59", kDefaultCameraPort));
    EXPECT_TRUE(second.awaitClosed(kReply));            // turned away
    EXPECT_TRUE(first.request(pingRequest(), kFrame));  // the first one is still served
    EXPECT_TRUE(waitUntil([&] { return cam.server.stats().rejected == 1; }, kReply));

    first.close();
    EXPECT_TRUE(waitUntil([&] { return !cam.server.stats().connected; }, kReply));
    EXPECT_EQ(cam.device->settings().work_mode, 0);  // streaming stopped with the host gone

    RawClient third;
    ASSERT_TRUE(third.connect("127.0.0.59", kDefaultCameraPort));
    std::optional<WirePacket> r = third.request(u16Request(query(kCmdWorkMode), 0));
    ASSERT_TRUE(r);
    EXPECT_EQ(i16At(*r, 4), 0);
    EXPECT_EQ(cam.server.stats().connections, 2u);
}

TEST(SimOverTcp, SlowReaderMakesFramesSkippedNotBuffered) {
    DeviceConfig config;
    config.fps = 200;
    config.initial.depth_mode = 3;
    config.initial.color_mode = 3;
    Camera cam("127.0.0.60", config);
    RawClient c;
    ASSERT_TRUE(c.connect("127.0.0.60", kDefaultCameraPort));
    ASSERT_TRUE(c.sendRequest(u16Request(kCmdWorkMode, kWorkDepth | kWorkInfrared | kWorkColor), 1));
    // Read nothing: the socket fills and the camera must skip frames instead of queueing them.
    ASSERT_TRUE(waitUntil([&] { return cam.device->stats().frames_skipped >= 50; }, Millis(20000)));
    const size_t frame_bytes = 1280 * 960 * (2 + 1 + 1 + 3) + 4 * 32;
    EXPECT_LE(cam.device->pendingOutputBytes(), frame_bytes);
    EXPECT_LE(cam.device->stats().frames_queued, cam.device->stats().frames_sent + 2);

    std::map<uint8_t, WirePacket> f =
        awaitFrame(c, {kCamDepth, kCamLeftIr, kCamRightIr, kCamColor}, Millis(10000));
    EXPECT_EQ(f.size(), 4u);
}

// ---- the kvsim executable
// -------------------------------------------------------------------------------------

class KvsimProcess {
  public:
    explicit KvsimProcess(std::vector<std::string> args) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        args.insert(args.begin(), KVSIM_EXECUTABLE);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, KVSIM_EXECUTABLE, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_fd_ = fds[0];
    }
    ~KvsimProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_fd_ >= 0) ::close(out_fd_);
    }
    bool running() const { return pid_ > 0; }
    void signal(int sig) { ::kill(pid_, sig); }
    // Exit status, or -1 when the process did not end in time.
    int waitExit(Millis timeout) {
        int status = 0;
        bool done = waitUntil(
            [&] {
                collect();
                return ::waitpid(pid_, &status, WNOHANG) == pid_;
            },
            timeout);
        if (!done) return -1;
        exited_ = true;
        collect();
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    bool outputHas(const std::string& text, Millis timeout) {
        return waitUntil(
            [&] {
                collect();
                return output_.find(text) != std::string::npos;
            },
            timeout);
    }
    const std::string& output() const { return output_; }

  private:
    void collect() {
        char buf[4096];
        pollfd p{out_fd_, POLLIN, 0};
        while (::poll(&p, 1, 0) > 0) {
            ssize_t n = ::read(out_fd_, buf, sizeof buf);
            if (n <= 0) break;
            output_.append(buf, static_cast<size_t>(n));
        }
    }
    pid_t pid_ = -1;
    int out_fd_ = -1;
    bool exited_ = false;
    std::string output_;
};

TEST(KvsimExecutable, ServesSeveralCamerasLogsConnectionsAndStopsOnSigterm) {
    KvsimProcess sim({"--listen", "127.0.0.61", "--cameras", "2", "--verbose"});
    ASSERT_TRUE(sim.running());
    ASSERT_TRUE(sim.outputHas("listening on 127.0.0.62:7001", Millis(5000))) << sim.output();
    for (const char* address : {"127.0.0.61", "127.0.0.62"}) {
        RawClient c;
        ASSERT_TRUE(c.connect(address, kDefaultCameraPort));
        ASSERT_TRUE(c.request(pingRequest()));
        std::optional<WirePacket> info = c.request(codeOnlyRequest(kCmdDeviceInfo));
        ASSERT_TRUE(info);
        EXPECT_EQ(decodeDeviceInfoReply(info->payload)->serial,
                  std::string(address) == "127.0.0.61" ? "KVSIM0000001" : "KVSIM0000002");
    }
    EXPECT_TRUE(sim.outputHas("KVSIM0000002 <- ping/firmware version (id 1, 4 bytes)", Millis(2000)))
        << sim.output();
    EXPECT_TRUE(sim.outputHas("KVSIM0000001 at 127.0.0.61:7001: connection from 127.0.0.1:", Millis(2000)))
        << sim.output();
    EXPECT_TRUE(sim.outputHas("disconnected, closed by the host", Millis(2000))) << sim.output();
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.waitExit(Millis(5000)), 0);
    EXPECT_NE(sim.output().find("stopping on SIGTERM"), std::string::npos) << sim.output();
    EXPECT_NE(sim.output().find("kvsim: stopped"), std::string::npos) << sim.output();
}

TEST(KvsimExecutable, StopsOnSigintWhileStreaming) {
    KvsimProcess sim({"--listen", "127.0.0.63", "--fps", "60"});
    ASSERT_TRUE(sim.running());
    RawClient c;
    ASSERT_TRUE(c.connect("127.0.0.63", kDefaultCameraPort));
    ASSERT_TRUE(c.request(u16Request(kCmdWorkMode, kWorkDepth | kWorkColor)));
    ASSERT_EQ(awaitFrame(c, {kCamDepth, kCamColor}, kFrame).size(), 2u);
    sim.signal(SIGINT);
    EXPECT_EQ(sim.waitExit(Millis(5000)), 0) << sim.output();
    EXPECT_TRUE(c.awaitClosed(kReply));
    EXPECT_NE(sim.output().find("simulator stopping"), std::string::npos) << sim.output();
}

TEST(KvsimExecutable, HelpAndBadOptions) {
    KvsimProcess help({"--help"});
    ASSERT_TRUE(help.running());
    EXPECT_EQ(help.waitExit(Millis(5000)), 0);
    EXPECT_NE(help.output().find("--descriptor FILE"), std::string::npos) << help.output();

    KvsimProcess bad({"--listen", "192.0.2.1"});
    ASSERT_TRUE(bad.running());
    EXPECT_EQ(bad.waitExit(Millis(5000)), 2);

    KvsimProcess missing({"--listen", "127.0.0.64", "--descriptor", "no-such-descriptor-file.xml"});
    ASSERT_TRUE(missing.running());
    EXPECT_EQ(missing.waitExit(Millis(5000)), 2);
}

}  // namespace
}  // namespace kvsim
}  // namespace orvane
