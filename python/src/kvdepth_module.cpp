// kvdepth._kvdepth: the compiled half of the Python package. It wraps the C interface one to one
// (feature access, capture, geometry) and hands out frames whose NumPy arrays are views of the
// caller-owned frame buffers. The friendlier surface (feature tree, generators) is pure Python.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "kvdepth.h"

namespace py = pybind11;

namespace orvane {
namespace python {
namespace {

// A failed call; translated into the kvdepth.Error subclass of its code.
struct StatusError {
    KV_STATUS code;
    std::string context;
};

void check(KV_STATUS status, const char* context) {
    if (status != KV_STATUS_OK) throw StatusError{status, context};
}

// Runs a C call with the interpreter lock released: any call may wait for the device, and library
// threads need the lock to run Python frame callbacks meanwhile.
template <class Call>
KV_STATUS unlocked(Call&& call) {
    py::gil_scoped_release release;
    return call();
}

std::string fixedText(const char* field, size_t capacity) {
    return std::string(field, strnlen(field, capacity));
}

// True while a library callback thread runs our frame trampoline.
thread_local bool in_frame_callback = false;

struct AlignedFree {
    void operator()(uint8_t* p) const { std::free(p); }
};

struct FrameBuffer {
    std::unique_ptr<uint8_t[], AlignedFree> memory;
    int32_t size = 0;
    uint64_t generation = 0;
    bool leased = false;
};

class Frame;

// State shared by a camera and every frame still alive; outlives the camera object while any frame
// or array refers to one of its buffers.
class Core : public std::enable_shared_from_this<Core> {
  public:
    explicit Core(KV_DEV_HANDLE handle) : handle_(handle) {}
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    KV_DEV_HANDLE handle() const {
        if (!open_) throw StatusError{KV_STATUS_INVALID_HANDLE, "camera is closed"};
        return handle_;
    }
    bool isOpen() const { return open_; }
    bool offline() const { return offline_; }
    void markOffline() { offline_ = true; }
    void setCapturing(bool on) { capturing_ = on; }
    bool capturing() const { return capturing_; }

    // Replaces every buffer that is not lent out by `count` fresh ones of the current frame size and
    // hands them to the library. Buffers still lent out are freed when their last array goes.
    void provideBuffers(int count) {
        std::unique_lock<std::shared_mutex> life(life_mu_);
        uint32_t size = 0;
        check(KVGetFrameBufferSize(handle(), &size), "frame buffer size");
        check(KVClearBufferQueue(handle()), "clear buffer queue");
        std::lock_guard<std::mutex> lock(mu_);
        ++generation_;
        dropIdleBuffersLocked();
        for (int i = 0; i < count; ++i) {
            auto buffer = std::make_unique<FrameBuffer>();
            const size_t rounded = (std::max<uint32_t>(size, 1) + 63) / 64 * 64;
            buffer->memory.reset(static_cast<uint8_t*>(std::aligned_alloc(64, rounded)));
            if (!buffer->memory) throw StatusError{KV_STATUS_OUT_OF_MEMORY, "frame buffer"};
            buffer->size = static_cast<int32_t>(size);
            buffer->generation = generation_;
            check(KVEnqueueBuffer(handle_, buffer->memory.get(), buffer->size), "enqueue buffer");
            buffers_.push_back(std::move(buffer));
        }
    }

    // Marks the buffer of a delivered frame as lent to Python.
    FrameBuffer* lend(const KV_FRAME_DATA& frame) {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& b : buffers_) {
            if (b->memory.get() == frame.userBuffer) {
                b->leased = true;
                return b.get();
            }
        }
        return nullptr;
    }

    // Called when the last frame or array of a buffer is gone: the buffer goes back to the library
    // if it still fits the running configuration, else it is freed. Returns hold the life lock shared,
    // so that close and a new start (which clear the library's queue and free idle buffers) never run
    // between the decision and the enqueue.
    void giveBack(FrameBuffer* buffer) {
        if (in_frame_callback) {
            // close() holds the lock while it waits for this thread: never block here.
            std::shared_lock<std::shared_mutex> life(life_mu_, std::try_to_lock);
            returnBuffer(buffer, life.owns_lock());
        } else if (PyGILState_Check()) {
            py::gil_scoped_release release;  // close() waits for callbacks that need the interpreter
            std::shared_lock<std::shared_mutex> life(life_mu_);
            returnBuffer(buffer, true);
        } else {
            std::shared_lock<std::shared_mutex> life(life_mu_);
            returnBuffer(buffer, true);
        }
    }

    // Closes the device; buffers lent out stay valid until their arrays go.
    KV_STATUS close() {
        std::unique_lock<std::shared_mutex> life(life_mu_);
        if (!open_) return KV_STATUS_OK;
        bool capturing = false;
        if (KVIsCapturing(handle_, &capturing) == KV_STATUS_OK && capturing) KVStopCapture(handle_);
        KVRegisterCallback(handle_, nullptr, nullptr);
        KVRegisterEventCallback(handle_, nullptr, nullptr);
        const KV_STATUS status = KVCloseDevice(handle_);
        open_ = false;
        capturing_ = false;
        std::lock_guard<std::mutex> lock(mu_);
        dropIdleBuffersLocked();
        return status;
    }

    py::object callback;        // guarded by the interpreter lock
    py::object callback_error;  // first exception raised by the callback

  private:
    // With the life lock held shared when `may_enqueue`: open_ and generation_ cannot change meanwhile.
    void returnBuffer(FrameBuffer* buffer, bool may_enqueue) {
        const bool reuse = may_enqueue && open_ && buffer->generation == generation_;
        const KV_STATUS status =
            reuse ? KVEnqueueBuffer(handle_, buffer->memory.get(), buffer->size) : KV_STATUS_ERROR;
        std::lock_guard<std::mutex> lock(mu_);
        if (status == KV_STATUS_OK) {
            buffer->leased = false;  // the library's until it comes back in a frame
        } else {
            eraseLocked(buffer);
        }
    }
    void dropIdleBuffersLocked() {
        buffers_.erase(std::remove_if(buffers_.begin(), buffers_.end(), [](auto& b) { return !b->leased; }),
                       buffers_.end());
        for (auto& b : buffers_) b->generation = 0;  // lent out: freed on return
    }
    void eraseLocked(FrameBuffer* buffer) {
        buffers_.erase(
            std::remove_if(buffers_.begin(), buffers_.end(), [buffer](auto& b) { return b.get() == buffer; }),
            buffers_.end());
    }

    KV_DEV_HANDLE handle_;
    std::atomic<bool> open_{true};
    std::atomic<bool> offline_{false};
    std::atomic<bool> capturing_{false};
    std::shared_mutex life_mu_;  // exclusive: close, provideBuffers; shared: buffer returns
    std::mutex mu_;              // guards buffers_ (lend runs without the life lock)
    uint64_t generation_ = 1;
    std::vector<std::unique_ptr<FrameBuffer>> buffers_;
};

// One buffer lent to Python; its destruction returns the buffer.
class Lease {
  public:
    Lease(std::shared_ptr<Core> core, FrameBuffer* buffer) : core_(std::move(core)), buffer_(buffer) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() { core_->giveBack(buffer_); }

  private:
    std::shared_ptr<Core> core_;
    FrameBuffer* buffer_;
};

class Frame {
  public:
    Frame(std::shared_ptr<Lease> lease, const KV_FRAME_DATA& data) : lease_(std::move(lease)), data_(data) {
        data_.validCount = std::clamp(data_.validCount, 0, KV_MAX_IMAGES_PER_FRAME);
    }

    const KV_IMAGE_DATA* image(int32_t component) const {
        for (int i = 0; i < data_.validCount; ++i)
            if (data_.image[i].componentID == component) return &data_.image[i];
        return nullptr;
    }

    // A view of one image shaped by its pixel format; the array keeps the buffer lent out.
    py::object array(int32_t component) const {
        if (!lease_) throw py::value_error("frame was released");
        const KV_IMAGE_DATA* img = image(component);
        if (!img) return py::none();
        return view(*img);
    }

    py::dict images() const {
        py::dict out;
        for (int i = 0; i < data_.validCount; ++i)
            out[py::int_(data_.image[i].componentID)] = array(data_.image[i].componentID);
        return out;
    }

    py::list records() const {
        py::list out;
        for (int i = 0; i < data_.validCount; ++i) {
            const KV_IMAGE_DATA& img = data_.image[i];
            py::dict r;
            r["component"] = img.componentID;
            r["index"] = img.imageIndex;
            r["timestamp"] = img.timestamp;
            r["width"] = img.width;
            r["height"] = img.height;
            r["pixel_format"] = img.pixelFormat;
            r["size"] = img.size;
            r["address"] = reinterpret_cast<uintptr_t>(img.buffer);
            out.append(r);
        }
        return out;
    }

    py::dict timestamps() const {
        py::dict out;
        for (int i = 0; i < data_.validCount; ++i)
            out[py::int_(data_.image[i].componentID)] = py::int_(data_.image[i].timestamp);
        return out;
    }

    int32_t index() const { return data_.validCount > 0 ? data_.image[0].imageIndex : -1; }
    uint64_t timestamp() const { return data_.validCount > 0 ? data_.image[0].timestamp : 0; }
    uintptr_t bufferAddress() const { return reinterpret_cast<uintptr_t>(data_.userBuffer); }
    void release() { lease_.reset(); }
    bool released() const { return !lease_; }

  private:
    py::object view(const KV_IMAGE_DATA& img) const {
        const py::ssize_t h = std::max(img.height, 0), w = std::max(img.width, 0);
        const size_t bytes = std::max(img.size, 0);
        auto* keep = new std::shared_ptr<Lease>(lease_);
        py::capsule base(keep, [](void* p) { delete static_cast<std::shared_ptr<Lease>*>(p); });
        auto fits = [&](size_t per_pixel) {
            return h > 0 && w > 0 && size_t(h) * size_t(w) * per_pixel <= bytes;
        };
        switch (img.pixelFormat) {
            case KV_PIXEL_FORMAT_DEPTH16:
                if (fits(2)) return py::array(py::dtype::of<uint16_t>(), {h, w}, {}, img.buffer, base);
                break;
            case KV_PIXEL_FORMAT_MONO8:
                if (fits(1)) return py::array(py::dtype::of<uint8_t>(), {h, w}, {}, img.buffer, base);
                break;
            case KV_PIXEL_FORMAT_RGB8:
            case KV_PIXEL_FORMAT_COLOR_8_TO_24:
                if (fits(3))
                    return py::array(py::dtype::of<uint8_t>(), {h, w, py::ssize_t(3)}, {}, img.buffer, base);
                break;
            case KV_PIXEL_FORMAT_POINT3D_F32:
                if (fits(12))
                    return py::array(py::dtype::of<float>(), {h, w, py::ssize_t(3)}, {}, img.buffer, base);
                break;
            default:
                break;
        }
        // Formats without a known shape, or a size that does not cover the shape: the raw bytes.
        return py::array(py::dtype::of<uint8_t>(), {py::ssize_t(bytes)}, {}, img.buffer, base);
    }

    std::shared_ptr<Lease> lease_;
    KV_FRAME_DATA data_;
};

void onFrame(KV_FRAME_DATA* data, void* user) {
    auto* core = static_cast<Core*>(user);
    if (!data || !core) return;
    FrameBuffer* buffer = core->lend(*data);
    if (!buffer) return;
    in_frame_callback = true;
    {
        py::gil_scoped_acquire gil;
        try {
            auto lease = std::make_shared<Lease>(core->shared_from_this(), buffer);
            py::object callback = core->callback;
            if (callback && !callback.is_none()) callback(Frame(std::move(lease), *data));
        } catch (py::error_already_set& e) {
            if (!core->callback_error) core->callback_error = e.value();
        } catch (...) {
        }
    }
    in_frame_callback = false;
}

void onEvent(KV_EVENT_INFO* event, void* user) {
    if (event && user && event->eventId == KV_EVENT_DEVICE_OFFLINE) static_cast<Core*>(user)->markOffline();
}

struct Vec3Array {
    py::array_t<float, py::array::c_style | py::array::forcecast> data;
    int32_t count;
};

Vec3Array points3(const py::handle& in) {
    auto a = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(in);
    if (!a || a.ndim() < 1 || a.shape(a.ndim() - 1) != 3)
        throw py::value_error("expected an array of shape (..., 3)");
    if (a.size() / 3 > INT32_MAX) throw py::value_error("too many points");
    return {a, static_cast<int32_t>(a.size() / 3)};
}

py::array_t<float> likeShape(const py::array& a) {
    std::vector<py::ssize_t> shape(a.shape(), a.shape() + a.ndim());
    return py::array_t<float>(shape);
}

class Device {
  public:
    explicit Device(KV_DEV_HANDLE handle) : core_(std::make_shared<Core>(handle)) {
        KVRegisterEventCallback(handle, onEvent, core_.get());
    }
    ~Device() {
        try {
            close();
        } catch (...) {
        }
    }

    void close() {
        if (!core_->isOpen()) return;
        if (in_frame_callback)
            throw std::runtime_error("a camera cannot be closed from its own frame callback");
        const KV_STATUS status = unlocked([&] { return core_->close(); });
        core_->callback = py::object();
        core_->callback_error = py::object();
        check(status, "close");
    }
    bool closed() const { return !core_->isOpen(); }
    bool offline() const { return core_->offline(); }
    uintptr_t handleValue() const { return reinterpret_cast<uintptr_t>(core_->handle()); }

    py::dict info() const {
        KV_DEVICE_BASE_INFO i{};
        check(KVGetDeviceInfo(core_->handle(), &i), "device info");
        return infoDict(i);
    }

    static py::dict infoDict(const KV_DEVICE_BASE_INFO& i) {
        py::dict d;
        d["id"] = fixedText(i.id, sizeof i.id);
        d["vendor"] = fixedText(i.vendorName, sizeof i.vendorName);
        d["model"] = fixedText(i.modelName, sizeof i.modelName);
        d["hardware_version"] =
            py::make_tuple(i.hardwareVersion.major, i.hardwareVersion.minor, i.hardwareVersion.patch);
        d["firmware_version"] =
            py::make_tuple(i.firmwareVersion.major, i.firmwareVersion.minor, i.firmwareVersion.patch);
        d["interface"] = i.iface == KV_INTERFACE_USB ? "usb" : "ethernet";
        d["ip"] = fixedText(i.netInfo.ip, sizeof i.netInfo.ip);
        d["init_status"] = i.initStatus;
        return d;
    }

    int32_t components() const { return mask(KVGetComponentIDs); }
    int32_t enabledComponents() const { return mask(KVGetEnabledComponentIDs); }
    void enable(int32_t m) { check(KVEnableComponents(core_->handle(), m), "enable components"); }
    void disable(int32_t m) { check(KVDisableComponents(core_->handle(), m), "disable components"); }

    std::string descriptor() const {
        std::vector<char> text(64 * 1024);
        for (;;) {
            KV_DEV_HANDLE h = core_->handle();
            const KV_STATUS s =
                unlocked([&] { return KVGetDeviceDescriptor(h, text.data(), int32_t(text.size())); });
            if (s == KV_STATUS_WRONG_SIZE && text.size() < (16u << 20)) {
                text.resize(text.size() * 4);
                continue;
            }
            check(s, "device descriptor");
            return std::string(text.data(), strnlen(text.data(), text.size()));
        }
    }

    // ---- features
    py::object featureInfo(int32_t c, int32_t f) const {
        KV_FEATURE_INFO i{};
        check(KVGetFeatureInfo(core_->handle(), c, f, &i), "feature info");
        if (!i.isValid) return py::none();
        py::dict d;
        d["name"] = fixedText(i.name, sizeof i.name);
        d["access"] = i.accessMode;
        d["writable_at_run"] = bool(i.writableAtRun);
        d["bind"] = py::make_tuple(i.bindComponentID, i.bindFeatureID);
        return d;
    }

    template <class T, class Fn>
    T get(Fn fn, int32_t c, int32_t f, const char* what) const {
        T value{};
        KV_DEV_HANDLE h = core_->handle();
        check(unlocked([&] { return fn(h, c, f, &value); }), what);
        return value;
    }
    template <class T, class Fn>
    void set(Fn fn, int32_t c, int32_t f, T value, const char* what) {
        KV_DEV_HANDLE h = core_->handle();
        check(unlocked([&] { return fn(h, c, f, value); }), what);
    }

    py::tuple intRange(int32_t c, int32_t f) const {
        KV_INT_RANGE r = get<KV_INT_RANGE>(KVGetIntRange, c, f, "int range");
        return py::make_tuple(r.min, r.max, r.inc);
    }
    py::tuple floatRange(int32_t c, int32_t f) const {
        KV_FLOAT_RANGE r = get<KV_FLOAT_RANGE>(KVGetFloatRange, c, f, "float range");
        return py::make_tuple(r.min, r.max, r.inc);
    }
    std::vector<std::pair<std::string, int32_t>> enumEntries(int32_t c, int32_t f) const {
        uint32_t count = get<uint32_t>(KVGetEnumEntryCount, c, f, "enum entry count");
        std::vector<KV_ENUM_ENTRY> entries(std::max<uint32_t>(count, 1));
        uint32_t filled = 0;
        check(KVGetEnumEntryInfo(core_->handle(), c, f, entries.data(), int32_t(count), &filled),
              "enum entries");
        std::vector<std::pair<std::string, int32_t>> out;
        for (uint32_t i = 0; i < std::min(filled, count); ++i)
            out.emplace_back(fixedText(entries[i].description, sizeof entries[i].description),
                             entries[i].value);
        return out;
    }
    std::string getString(int32_t c, int32_t f) const {
        uint32_t size = get<uint32_t>(KVGetStringBufferSize, c, f, "string size");
        std::vector<char> text(std::max<uint32_t>(size, 256) + 1, '\0');
        KV_DEV_HANDLE h = core_->handle();
        check(unlocked([&] { return KVGetString(h, c, f, text.data(), int32_t(text.size() - 1)); }),
              "get string");
        return std::string(text.data(), strnlen(text.data(), text.size()));
    }
    void setString(int32_t c, int32_t f, const std::string& text) {
        KV_DEV_HANDLE h = core_->handle();
        check(unlocked([&] { return KVSetString(h, c, f, text.c_str()); }), "set string");
    }
    py::bytes getByteArray(int32_t c, int32_t f) const {
        uint32_t size = get<uint32_t>(KVGetByteArraySize, c, f, "byte array size");
        std::vector<uint8_t> bytes(std::max<uint32_t>(size, 1));
        uint32_t filled = 0;
        KV_DEV_HANDLE h = core_->handle();
        check(unlocked([&] { return KVGetByteArray(h, c, f, bytes.data(), int32_t(size), &filled); }),
              "get byte array");
        return py::bytes(reinterpret_cast<const char*>(bytes.data()), std::min(filled, size));
    }
    void setByteArray(int32_t c, int32_t f, const std::string& bytes) {
        KV_DEV_HANDLE h = core_->handle();
        check(unlocked([&] {
                  return KVSetByteArray(h, c, f, reinterpret_cast<const uint8_t*>(bytes.data()),
                                        int32_t(bytes.size()));
              }),
              "set byte array");
    }
    py::bytes getStruct(int32_t c, int32_t f, int32_t size) const {
        if (size < 0 || size > (1 << 20)) throw py::value_error("struct size out of range");
        std::vector<char> bytes(std::max(size, 1));
        KV_DEV_HANDLE h = core_->handle();
        check(unlocked([&] { return KVGetStruct(h, c, f, bytes.data(), size); }), "get struct");
        return py::bytes(bytes.data(), size);
    }
    void setStruct(int32_t c, int32_t f, const std::string& bytes) {
        KV_DEV_HANDLE h = core_->handle();
        check(unlocked([&] { return KVSetStruct(h, c, f, bytes.data(), int32_t(bytes.size())); }),
              "set struct");
    }

    // ---- capture
    void start(int buffers, py::object callback) {
        if (buffers < 1 || buffers > 64) throw py::value_error("buffers must be 1 to 64");
        KV_DEV_HANDLE h = core_->handle();
        bool capturing = false;
        check(KVIsCapturing(h, &capturing), "capture state");
        if (capturing) throw StatusError{KV_STATUS_BUSY, "start"};
        core_->callback = callback;
        core_->callback_error = py::object();
        const bool with_callback = !callback.is_none();
        check(KVRegisterCallback(h, with_callback ? onFrame : nullptr, with_callback ? core_.get() : nullptr),
              "register callback");
        unlocked([&] {
            core_->provideBuffers(buffers);
            return KV_STATUS_OK;
        });
        check(unlocked([&] { return KVStartCapture(h); }), "start capture");
        core_->setCapturing(true);
    }

    void stop() {
        KV_DEV_HANDLE h = core_->handle();
        const KV_STATUS status = unlocked([&] { return KVStopCapture(h); });
        core_->setCapturing(false);
        // Frames already handed to the callback stay valid; no new ones arrive after the stop.
        check(unlocked([&] { return KVRegisterCallback(h, nullptr, nullptr); }), "unregister callback");
        core_->callback = py::object();
        if (status != KV_STATUS_IDLE) check(status, "stop capture");
        if (core_->callback_error) {
            py::object error = core_->callback_error;
            core_->callback_error = py::object();
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
            throw py::error_already_set();
        }
    }

    bool isCapturing() const {
        bool on = false;
        check(KVIsCapturing(core_->handle(), &on), "capture state");
        return on;
    }

    void trigger() {
        KV_DEV_HANDLE h = core_->handle();
        check(unlocked([&] { return KVSendSoftTrigger(h); }), "soft trigger");
    }

    // Waits for the next frame in short slices so that an offline camera and Ctrl-C end the wait.
    Frame fetch(double timeout_s) {
        using Clock = std::chrono::steady_clock;
        const bool forever = timeout_s < 0;
        const auto deadline =
            Clock::now() + std::chrono::microseconds(int64_t(std::max(timeout_s, 0.0) * 1e6));
        KV_DEV_HANDLE h = core_->handle();
        KV_FRAME_DATA data{};
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            const int32_t slice = forever ? 100 : int32_t(std::clamp<int64_t>(left, 0, 100));
            const KV_STATUS s = unlocked([&] { return KVFetchFrame(h, &data, slice); });
            if (s == KV_STATUS_OK) return claim(data);
            if (core_->offline() || (s == KV_STATUS_IDLE && core_->capturing()))
                throw StatusError{KV_EVENT_DEVICE_OFFLINE, "fetch frame"};
            if (s != KV_STATUS_TIMEOUT && s != KV_STATUS_NO_DATA) check(s, "fetch frame");
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            if (!forever && Clock::now() >= deadline) throw StatusError{KV_STATUS_TIMEOUT, "fetch frame"};
        }
    }

    // Fetches and re-enqueues `count` frames in C only: the baseline of the Python overhead benchmark.
    double fetchLoopSeconds(int count, double timeout_s) {
        KV_DEV_HANDLE h = core_->handle();
        KV_STATUS status = KV_STATUS_OK;
        const auto t0 = std::chrono::steady_clock::now();
        {
            py::gil_scoped_release release;
            KV_FRAME_DATA data{};
            for (int i = 0; i < count && status == KV_STATUS_OK; ++i) {
                status = KVFetchFrame(h, &data, int32_t(timeout_s * 1000));
                if (status == KV_STATUS_OK) status = KVEnqueueBuffer(h, data.userBuffer, data.bufferSize);
            }
        }
        check(status, "fetch loop");
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }

    // ---- geometry
    py::array_t<float> depthToWorld(const py::handle& depth) const {
        Vec3Array in = points3(depth);
        py::array_t<float> out = likeShape(in.data);
        KV_DEV_HANDLE h = core_->handle();
        const auto* src = reinterpret_cast<const KV_VECT_3F*>(in.data.data());
        auto* dst = reinterpret_cast<KV_VECT_3F*>(out.mutable_data());
        check(unlocked([&] { return KVDepthToWorld(h, src, dst, 0, in.count); }), "depth to world");
        return out;
    }
    py::array_t<float> worldToDepth(const py::handle& world) const {
        Vec3Array in = points3(world);
        py::array_t<float> out = likeShape(in.data);
        KV_DEV_HANDLE h = core_->handle();
        const auto* src = reinterpret_cast<const KV_VECT_3F*>(in.data.data());
        auto* dst = reinterpret_cast<KV_VECT_3F*>(out.mutable_data());
        check(unlocked([&] { return KVWorldToDepth(h, src, dst, 0, in.count); }), "world to depth");
        return out;
    }
    py::array_t<uint16_t> registerToColor(const py::handle& world) const {
        Vec3Array in = points3(world);
        const int32_t w = get<int32_t>(KVGetInt, KV_COMPONENT_COLOR, KV_FEATURE_IMAGE_WIDTH, "colour width");
        const int32_t hgt =
            get<int32_t>(KVGetInt, KV_COMPONENT_COLOR, KV_FEATURE_IMAGE_HEIGHT, "colour height");
        if (w <= 0 || hgt <= 0 || int64_t(w) * hgt * 2 > INT32_MAX)
            throw StatusError{KV_STATUS_ERROR, "colour size"};
        py::array_t<uint16_t> out({py::ssize_t(hgt), py::ssize_t(w)});
        KV_DEV_HANDLE h = core_->handle();
        const auto* src = reinterpret_cast<const KV_VECT_3F*>(in.data.data());
        uint16_t* dst = out.mutable_data();
        check(unlocked([&] { return KVRegisterWorldToColor(h, src, 0, in.count, dst, w * hgt * 2); }),
              "register to colour");
        return out;
    }

  private:
    int32_t mask(KV_STATUS (*fn)(KV_DEV_HANDLE, int32_t*)) const {
        int32_t m = 0;
        check(fn(core_->handle(), &m), "component mask");
        return m;
    }

    Frame claim(const KV_FRAME_DATA& data) {
        FrameBuffer* buffer = core_->lend(data);
        if (!buffer) throw StatusError{KV_STATUS_ERROR, "frame in a buffer this camera did not provide"};
        return Frame(std::make_shared<Lease>(core_, buffer), data);
    }

    std::shared_ptr<Core> core_;
};

std::unique_ptr<Device> openWith(KV_STATUS (*open)(const char*, KV_DEV_HANDLE*), const std::string& id,
                                 const char* what) {
    KV_DEV_HANDLE handle = nullptr;
    check(unlocked([&] { return open(id.c_str(), &handle); }), what);
    return std::make_unique<Device>(handle);
}

py::list deviceList() {
    uint32_t count = 0;
    check(unlocked([&] { return KVGetDeviceNumber(&count); }), "device number");
    std::vector<KV_DEVICE_BASE_INFO> list(std::max<uint32_t>(count, 1));
    int32_t filled = 0;
    check(unlocked([&] { return KVGetDeviceList(list.data(), int32_t(list.size()), &filled); }),
          "device list");
    py::list out;
    for (int32_t i = 0; i < std::min<int32_t>(filled, int32_t(list.size())); ++i)
        out.append(Device::infoDict(list[i]));
    return out;
}

py::array undistort(const py::array& image, const py::handle& intrinsic, const py::handle& distortion,
                    const py::handle& new_intrinsic) {
    auto src = py::array_t<uint8_t, py::array::c_style | py::array::forcecast>::ensure(image);
    if (!src || (src.ndim() != 2 && !(src.ndim() == 3 && src.shape(2) == 3)))
        throw py::value_error("expected a uint8 image of shape (H, W) or (H, W, 3)");
    auto floats = [](const py::handle& h, size_t n, const char* name) {
        auto a = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(h);
        if (!a || size_t(a.size()) != n)
            throw py::value_error(std::string(name) + " needs " + std::to_string(n) + " values");
        return a;
    };
    KV_CAMERA_INTRINSIC k{}, nk{};
    KV_CAMERA_DISTORTION d{};
    std::memcpy(k.data, floats(intrinsic, 9, "intrinsic").data(), sizeof k.data);
    std::memcpy(d.data, floats(distortion, 12, "distortion").data(), sizeof d.data);
    const bool has_new = !new_intrinsic.is_none();
    if (has_new) std::memcpy(nk.data, floats(new_intrinsic, 9, "new_intrinsic").data(), sizeof nk.data);
    if (src.nbytes() > INT32_MAX) throw py::value_error("image too large");
    py::array_t<uint8_t> out(std::vector<py::ssize_t>(src.shape(), src.shape() + src.ndim()));
    KV_IMAGE_DATA in{}, res{};
    in.width = res.width = int32_t(src.shape(1));
    in.height = res.height = int32_t(src.shape(0));
    in.pixelFormat = src.ndim() == 3 ? KV_PIXEL_FORMAT_RGB8 : KV_PIXEL_FORMAT_MONO8;
    in.size = res.size = int32_t(src.nbytes());
    in.buffer = const_cast<uint8_t*>(src.data());
    res.buffer = out.mutable_data();
    check(unlocked([&] { return KVUndistortImage(&k, &d, has_new ? &nk : nullptr, &in, &res); }),
          "undistort");
    return out;
}

}  // namespace
}  // namespace python
}  // namespace orvane

PYBIND11_MODULE(_kvdepth, m) {
    using namespace orvane::python;
    m.doc() = "Compiled core of kvdepth; use the kvdepth package instead.";

    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const StatusError& e) {
            py::object cls = py::module_::import("kvdepth._errors").attr("error_class")(e.code);
            const char* message =
                e.code == KV_EVENT_DEVICE_OFFLINE ? "device offline" : KVErrorString(e.code);
            py::object error = cls(e.code, message, e.context);
            PyErr_SetObject(cls.ptr(), error.ptr());
        }
    });

    // A second initialisation (another user in the same process) reports -1001 and is harmless.
    _KVInitLib();

    m.def("version", [] {
        KV_VERSION_INFO v{};
        KVLibVersion(&v);
        return py::make_tuple(v.major, v.minor, v.patch);
    });
    m.def("error_string", [](int32_t code) { return std::string(KVErrorString(code)); });
    m.def("deinit", [] { return KVDeinitLib(); });
    m.def(
        "set_log_level", [](int level) { orvane::SetLogLevel(level); },
        "Library log threshold: 10 verbose, 20 info, 30 warning, 40 error, 100 none.");
    m.def("device_list", &deviceList);
    m.def("open_ip", [](const std::string& ip) { return openWith(KVOpenDeviceWithIP, ip, "open by IP"); });
    m.def("open_id", [](const std::string& id) { return openWith(KVOpenDevice, id, "open"); });
    m.def("firmware_text", [](const std::string& id) -> py::object {
        const char* text = KVGetFirmwareVer(id.c_str());
        return text ? py::object(py::str(text)) : py::object(py::none());
    });
    m.def("undistort", &undistort, py::arg("image"), py::arg("intrinsic"), py::arg("distortion"),
          py::arg("new_intrinsic") = py::none());

    py::class_<Frame>(m, "Frame", "One delivered frame; its arrays are views of the frame buffer.")
        .def("array", &Frame::array, py::arg("component"),
             "The image of a component as an array view, or None when the frame has none.")
        .def_property_readonly(
            "depth", [](const Frame& f) { return f.array(KV_COMPONENT_DEPTH); },
            "(H, W) uint16 depth, or None.")
        .def_property_readonly(
            "infrared", [](const Frame& f) { return f.array(KV_COMPONENT_LEFT_IR); },
            "(H, W) uint8 left infrared image, or None.")
        .def_property_readonly(
            "infrared_right", [](const Frame& f) { return f.array(KV_COMPONENT_RIGHT_IR); },
            "(H, W) uint8 right infrared image, or None.")
        .def_property_readonly(
            "color", [](const Frame& f) { return f.array(KV_COMPONENT_COLOR); },
            "(H, W, 3) uint8 colour, or None.")
        .def_property_readonly(
            "points", [](const Frame& f) { return f.array(KV_COMPONENT_POINT3D); },
            "(H, W, 3) float32 points (invalid ones NaN), or None.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Frame& f, py::args) { f.release(); })
        .def("images", &Frame::images, "Every image of the frame as {component id: array}.")
        .def("records", &Frame::records, "The frame's image records as the C interface delivered them.")
        .def_property_readonly("index", &Frame::index, "Frame counter of the stream.")
        .def_property_readonly("timestamp", &Frame::timestamp,
                               "Device timestamp of the first image (microseconds).")
        .def_property_readonly("timestamps", &Frame::timestamps,
                               "Device timestamp of every image by component id.")
        .def_property_readonly("buffer_address", &Frame::bufferAddress)
        .def_property_readonly("released", &Frame::released)
        .def("release", &Frame::release,
             "Gives the buffer back to the camera once no array of this frame is alive any more.");

    using D = Device;
    py::class_<Device>(m, "Device")
        .def("close", &D::close)
        .def_property_readonly("closed", &D::closed)
        .def_property_readonly("offline", &D::offline)
        .def_property_readonly("handle", &D::handleValue)
        .def("info", &D::info)
        .def("components", &D::components)
        .def("enabled_components", &D::enabledComponents)
        .def("enable", &D::enable)
        .def("disable", &D::disable)
        .def("descriptor", &D::descriptor)
        .def("feature_info", &D::featureInfo)
        .def("get_int", [](D& d, int32_t c, int32_t f) { return d.get<int32_t>(KVGetInt, c, f, "get int"); })
        .def("set_int", [](D& d, int32_t c, int32_t f, int32_t v) { d.set(KVSetInt, c, f, v, "set int"); })
        .def("int_range", &D::intRange)
        .def("get_float",
             [](D& d, int32_t c, int32_t f) { return d.get<float>(KVGetFloat, c, f, "get float"); })
        .def("set_float",
             [](D& d, int32_t c, int32_t f, float v) { d.set(KVSetFloat, c, f, v, "set float"); })
        .def("float_range", &D::floatRange)
        .def("enum_entries", &D::enumEntries)
        .def("get_enum",
             [](D& d, int32_t c, int32_t f) { return d.get<int32_t>(KVGetEnum, c, f, "get enum"); })
        .def("set_enum", [](D& d, int32_t c, int32_t f, int32_t v) { d.set(KVSetEnum, c, f, v, "set enum"); })
        .def("get_bool", [](D& d, int32_t c, int32_t f) { return d.get<bool>(KVGetBool, c, f, "get bool"); })
        .def("set_bool", [](D& d, int32_t c, int32_t f, bool v) { d.set(KVSetBool, c, f, v, "set bool"); })
        .def("get_string", &D::getString)
        .def("set_string", &D::setString)
        .def("get_bytes", &D::getByteArray)
        .def("set_bytes", [](D& d, int32_t c, int32_t f, py::bytes b) { d.setByteArray(c, f, b); })
        .def("get_struct", &D::getStruct)
        .def("set_struct", [](D& d, int32_t c, int32_t f, py::bytes b) { d.setStruct(c, f, b); })
        .def("start", &D::start, py::arg("buffers"), py::arg("callback") = py::none())
        .def("stop", &D::stop)
        .def("is_capturing", &D::isCapturing)
        .def("trigger", &D::trigger)
        .def("fetch", &D::fetch, py::arg("timeout"))
        .def("fetch_loop_seconds", &D::fetchLoopSeconds)
        .def("depth_to_world", &D::depthToWorld)
        .def("world_to_depth", &D::worldToDepth)
        .def("register_to_color", &D::registerToColor);
}
