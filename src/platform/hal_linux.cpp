// POSIX implementation of the portability functions. Handles are small integers into fixed tables; every
// function checks the handle range first, so -1 (the "table full" result) and any stray value are harmless.
#include "platform/hal_linux.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <mutex>

#include "platform/KvDebug.h"
#include "platform/hal_internal.h"

namespace orvane {
namespace {

constexpr int kLockSlots = 64;
constexpr int kThreadSlots = 64;
constexpr int kSocketSlots = 4;
constexpr size_t kThreadStackSize = 0xBB8000;
constexpr int kListenBacklog = 10;
constexpr int kUartMaxRead = 4096;
constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

bool inRange(long long handle, int slots) {
    return handle >= 0 && handle < slots;
}

// ---------------------------------------------------------------------------------------------------------
// Locks. Creating and deleting take the table mutex so that two threads never claim the same slot; locking
// and unlocking only read the in-use flag of their own slot.

struct LockSlot {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    std::atomic<bool> in_use{false};
};

LockSlot g_locks[kLockSlots];
std::mutex g_lock_table_mutex;

LockSlot* usedLockSlot(long long handle) {
    if (!inRange(handle, kLockSlots)) return nullptr;
    LockSlot& slot = g_locks[handle];
    return slot.in_use.load(std::memory_order_acquire) ? &slot : nullptr;
}

// ---------------------------------------------------------------------------------------------------------
// Threads. A detached thread's identifier is only valid while the thread runs, so each thread reports its own
// end through its slot; the generation keeps a thread that ends late from touching a slot handed out again.

struct ThreadSlot {
    pthread_t thread{};
    bool in_use = false;
    bool running = false;
    uint64_t generation = 0;
};

ThreadSlot g_threads[kThreadSlots];
std::mutex g_thread_table_mutex;

struct ThreadStart {
    int slot;
    uint64_t generation;
    THREAD_START_ROUTINE routine;
    void* arg;
};

// Marks the slot finished when the routine returns or the thread is cancelled (cancellation unwinds the
// stack, which runs this destructor).
class ThreadEndMarker {
  public:
    ThreadEndMarker(int slot, uint64_t generation) : slot_(slot), generation_(generation) {}
    ~ThreadEndMarker() {
        std::lock_guard<std::mutex> guard(g_thread_table_mutex);
        ThreadSlot& slot = g_threads[slot_];
        if (slot.in_use && slot.generation == generation_) slot.running = false;
    }
    ThreadEndMarker(const ThreadEndMarker&) = delete;
    ThreadEndMarker& operator=(const ThreadEndMarker&) = delete;

  private:
    int slot_;
    uint64_t generation_;
};

extern "C" void* threadTrampoline(void* raw_start) {
    ThreadStart start = *static_cast<ThreadStart*>(raw_start);
    delete static_cast<ThreadStart*>(raw_start);
    ThreadEndMarker marker(start.slot, start.generation);
    return start.routine(start.arg);
}

// ---------------------------------------------------------------------------------------------------------
// Sockets. A slot is reserved while SOCK_Open connects or accepts (without holding the table mutex) and only
// becomes usable for reading and writing once it is marked in use.

struct SocketSlot {
    std::atomic<int32_t> in_use{0};
    int32_t server = 0;
    sockaddr_in address{};
    int listen_fd = -1;
    int conn_fd = -1;
    bool reserved = false;
};

SocketSlot g_sockets[kSocketSlots];
std::mutex g_socket_table_mutex;
std::once_flag g_socket_setup_once;
std::atomic<uint32_t> g_write_stall_limit_ms{hal::kDefaultWriteStallLimitMs};
std::atomic<uint32_t> g_connect_time_limit_ms{hal::kDefaultConnectTimeLimitMs};

// A peer that goes away must show up as an error result, not as a signal that ends the process. Only the
// default disposition is replaced: a handler the application installed itself stays in place.
void ignoreSignalIfDefault(int signo) {
    struct sigaction current {};
    if (sigaction(signo, nullptr, &current) != 0) return;
    if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_DFL) signal(signo, SIG_IGN);
}

void setUpSocketLayer() {
    ignoreSignalIfDefault(SIGPIPE);
    ignoreSignalIfDefault(SIGHUP);
}

SocketSlot* usedSocketSlot(int handle) {
    if (!inRange(handle, kSocketSlots)) return nullptr;
    SocketSlot& slot = g_sockets[handle];
    if (!slot.in_use.load(std::memory_order_acquire) || slot.conn_fd < 0) return nullptr;
    return &slot;
}

void closeDescriptor(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Closes what the slot holds and returns it to the free state. Called with the table mutex held.
void releaseSocketSlot(SocketSlot& slot) {
    closeDescriptor(slot.conn_fd);
    closeDescriptor(slot.listen_fd);
    slot.server = 0;
    slot.address = sockaddr_in{};
    slot.reserved = false;
    slot.in_use.store(0, std::memory_order_release);
}

void failSocketOpen(SocketSlot& slot) {
    std::lock_guard<std::mutex> guard(g_socket_table_mutex);
    releaseSocketSlot(slot);
}

bool setNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

using SteadyClock = std::chrono::steady_clock;

// Waits until fd reports one of events (or an error/hang-up condition). 1 ready, 0 time is up, -1 error.
// wait_ms of kWaitForever waits without limit; a signal does not cut the wait short.
int waitForDescriptor(int fd, short events, uint32_t wait_ms) {
    const bool forever = wait_ms == kWaitForever;
    const SteadyClock::time_point deadline = SteadyClock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
        int timeout = -1;
        if (!forever) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
            timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
        }
        pollfd entry{fd, events, 0};
        int ready = poll(&entry, 1, timeout);
        if (ready > 0) return (entry.revents & POLLNVAL) ? -1 : 1;
        if (ready < 0 && errno != EINTR) return -1;
        if (ready == 0 && timeout == 0) return 0;
        if (ready == 0 && !forever && SteadyClock::now() >= deadline) return 0;
    }
}

// A camera that never completes the handshake (gone, or its accept queue full) would otherwise hold the
// caller for the system's connect time-out, which is minutes: connect without blocking and wait at most the
// limit.
int connectWithTimeLimit(int fd, const sockaddr_in& address) {
    if (!setNonBlocking(fd)) return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return 0;
    if (errno != EINPROGRESS && errno != EINTR) return -1;
    const int ready = waitForDescriptor(fd, POLLOUT, g_connect_time_limit_ms.load());
    if (ready == 0) errno = ETIMEDOUT;
    if (ready <= 0) return -1;
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return -1;
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

void printSocketError(const char* what, int error) {
    printf("%s socket error: %s (errno: %d) \n", what, strerror(error), error);
}

// Errors after which accept() may succeed on the next try; anything else would repeat forever.
bool acceptErrorIsTransient(int error) {
    switch (error) {
        case EINTR:
        case EAGAIN:
        case ECONNABORTED:
        case EPROTO:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
        case EPERM:
            return true;
        default:
            return false;
    }
}

// Requests leave as a header block and a payload in two writes; with Nagle's algorithm the payload waits
// for the peer's delayed acknowledgement, about 40 ms per command.
void sendSmallWritesAtOnce(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

bool openClient(SocketSlot& slot) {
    slot.conn_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (slot.conn_fd < 0) {
        printSocketError("create", errno);
        return false;
    }
    if (connectWithTimeLimit(slot.conn_fd, slot.address) != 0) {
        printSocketError("connect", errno);
        return false;
    }
    sendSmallWritesAtOnce(slot.conn_fd);
    char dotted[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &slot.address.sin_addr, dotted, sizeof(dotted));
    printf("Connected sock to <%s : %d>!\n", dotted, ntohs(slot.address.sin_port));
    return true;
}

bool openServer(SocketSlot& slot) {
    slot.listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (slot.listen_fd < 0) {
        printSocketError("create", errno);
        return false;
    }
    // Lets a restarted server take its port again while the old connection lingers in TIME_WAIT.
    int reuse = 1;
    setsockopt(slot.listen_fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
    if (bind(slot.listen_fd, reinterpret_cast<const sockaddr*>(&slot.address), sizeof(slot.address)) != 0) {
        printSocketError("bind", errno);
        return false;
    }
    if (listen(slot.listen_fd, kListenBacklog) != 0) {
        printSocketError("listen", errno);
        return false;
    }
    printf("SOCK_SVR: listening on port (%d) ...\n", ntohs(slot.address.sin_port));
    for (;;) {
        slot.conn_fd = accept4(slot.listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (slot.conn_fd >= 0) break;
        int error = errno;
        printSocketError("accept", error);
        if (!acceptErrorIsTransient(error)) return false;
    }
    sendSmallWritesAtOnce(slot.conn_fd);
    return setNonBlocking(slot.conn_fd);
}

}  // namespace

namespace hal {

timespec sleepInterval(uint32_t ms) {
    timespec interval{};
    interval.tv_sec = static_cast<time_t>(ms / 1000u);
    interval.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
    return interval;
}

void setSocketWriteStallLimit(uint32_t ms) {
    g_write_stall_limit_ms.store(ms);
}
uint32_t socketWriteStallLimit() {
    return g_write_stall_limit_ms.load();
}

void setSocketConnectTimeLimit(uint32_t ms) {
    g_connect_time_limit_ms.store(ms);
}

int connectedDescriptor(int handle) {
    SocketSlot* slot = usedSocketSlot(handle);
    return slot == nullptr ? -1 : slot->conn_fd;
}

}  // namespace hal
}  // namespace orvane

using namespace orvane;  // the C functions below live in the global namespace

// ---------------------------------------------------------------------------------------------------------
// Clock and process

int32_t TIMER_GetNow(void) {
    return static_cast<int32_t>(getSystemTime());
}

void UTIL_Sleep(uint32_t ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    timespec left = hal::sleepInterval(ms);
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void UTIL_Exit(void) {
    exit(1);
}

// ---------------------------------------------------------------------------------------------------------
// Locks

int UTIL_CreateLock(void) {
    std::lock_guard<std::mutex> guard(g_lock_table_mutex);
    for (int i = 0; i < kLockSlots; ++i) {
        LockSlot& slot = g_locks[i];
        if (slot.in_use.load(std::memory_order_relaxed)) continue;
        pthread_mutexattr_t attributes;
        if (pthread_mutexattr_init(&attributes) != 0) return -1;
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
        int result = pthread_mutex_init(&slot.mutex, &attributes);
        pthread_mutexattr_destroy(&attributes);
        if (result != 0) return -1;
        slot.in_use.store(true, std::memory_order_release);
        return i;
    }
    return -1;
}

void UTIL_Lock(int handle) {
    if (LockSlot* slot = usedLockSlot(handle)) pthread_mutex_lock(&slot->mutex);
}

void UTIL_Unlock(int handle) {
    if (LockSlot* slot = usedLockSlot(handle)) pthread_mutex_unlock(&slot->mutex);
}

void UTIL_DeleteLock(int handle) {
    if (!inRange(handle, kLockSlots)) return;
    std::lock_guard<std::mutex> guard(g_lock_table_mutex);
    LockSlot& slot = g_locks[handle];
    // Destroying a mutex that was never initialised is undefined; a freed slot is left alone.
    if (!slot.in_use.load(std::memory_order_relaxed)) return;
    slot.in_use.store(false, std::memory_order_release);
    pthread_mutex_destroy(&slot.mutex);
    memset(&slot.mutex, 0, sizeof(slot.mutex));
}

void InitializeCriticalSection(unsigned long* cs) {
    if (cs == nullptr) return;
    *cs = static_cast<unsigned long>(static_cast<long>(UTIL_CreateLock()));
}

void EnterCriticalSection(unsigned long* cs) {
    if (cs != nullptr && *cs < static_cast<unsigned long>(kLockSlots)) UTIL_Lock(static_cast<int>(*cs));
}

void LeaveCriticalSection(unsigned long* cs) {
    if (cs != nullptr && *cs < static_cast<unsigned long>(kLockSlots)) UTIL_Unlock(static_cast<int>(*cs));
}

void DeleteCriticalSection(unsigned long* cs) {
    if (cs == nullptr || *cs >= static_cast<unsigned long>(kLockSlots)) return;
    UTIL_DeleteLock(static_cast<int>(*cs));
    // The slot may be handed to someone else now; a stale section must not lock it.
    *cs = static_cast<unsigned long>(-1L);
}

// ---------------------------------------------------------------------------------------------------------
// Threads

int THREAD_Create(THREAD_START_ROUTINE start_routine, void* arg) {
    if (start_routine == nullptr) return -1;
    std::lock_guard<std::mutex> guard(g_thread_table_mutex);
    int index = -1;
    for (int i = 0; i < kThreadSlots && index < 0; ++i) {
        if (!g_threads[i].in_use) index = i;
    }
    if (index < 0) return -1;

    ThreadSlot& slot = g_threads[index];
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return -1;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attributes, kThreadStackSize);
    const uint64_t generation = slot.generation + 1;
    auto* start = new ThreadStart{index, generation, start_routine, arg};
    pthread_t thread{};
    int result = pthread_create(&thread, &attributes, threadTrampoline, start);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        delete start;
        return -1;
    }
    // The new thread cannot report its end before we release the table mutex.
    slot.thread = thread;
    slot.generation = generation;
    slot.in_use = true;
    slot.running = true;
    return index;
}

int THREAD_IsExist(int handle) {
    if (!inRange(handle, kThreadSlots)) return 0;
    std::lock_guard<std::mutex> guard(g_thread_table_mutex);
    const ThreadSlot& slot = g_threads[handle];
    return slot.in_use && slot.running ? 1 : 0;
}

void THREAD_Terminate(int handle) {
    if (!inRange(handle, kThreadSlots)) return;
    std::lock_guard<std::mutex> guard(g_thread_table_mutex);
    ThreadSlot& slot = g_threads[handle];
    if (!slot.in_use) return;
    // While running is set the thread has not passed its end marker, so its identifier is still valid.
    if (slot.running) pthread_cancel(slot.thread);
    slot.thread = pthread_t{};
    slot.in_use = false;
    slot.running = false;
}

// ---------------------------------------------------------------------------------------------------------
// Serial port

int UART_Init(const char* path) {
    int fd = path != nullptr ? open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) : -1;
    if (fd < 0) {
        if (path == nullptr) errno = EINVAL;
        perror("unable to open comport\n");
        return -1;
    }
    termios settings;
    memset(&settings, 0, sizeof(settings));
    settings.c_iflag = IGNPAR;
    settings.c_cflag = B115200 | CS8 | CREAD | CLOCAL;
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        close(fd);
        perror("unable to adjust portsettings ");
        return -1;
    }
    return fd;
}

void UART_Close(int fd) {
    if (fd >= 0) close(fd);
}

int UART_Read(int fd, void* buf, int len) {
    if (buf == nullptr || len <= 0) return 0;
    ssize_t count = read(fd, buf, static_cast<size_t>(std::min(len, kUartMaxRead)));
    return count < 0 ? 0 : static_cast<int>(count);
}

int UART_Write(int fd, const void* buf, int len) {
    if (buf == nullptr || len <= 0) return 0;
    ssize_t count = write(fd, buf, static_cast<size_t>(len));
    return count < 0 ? 0 : static_cast<int>(count);
}

int UART_GetIO(int fd, int line, int* out) {
    if (line != 0 || out == nullptr) return 0;
    int status = 0;
    // Without the modem lines there is no CTS value to report.
    if (ioctl(fd, TIOCMGET, &status) != 0) return 0;
    *out = (status & TIOCM_CTS) ? 1 : 0;
    return 1;
}

void UART_FlushTX(int fd) {
    tcflush(fd, TCOFLUSH);
}

void UART_FlushRX(int fd) {
    tcflush(fd, TCIFLUSH);
}

// ---------------------------------------------------------------------------------------------------------
// Sockets

int SOCK_Open(uint32_t ip, uint16_t port) {
    std::call_once(g_socket_setup_once, setUpSocketLayer);

    SocketSlot* slot = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_socket_table_mutex);
        for (SocketSlot& candidate : g_sockets) {
            if (!candidate.in_use.load(std::memory_order_relaxed) && !candidate.reserved) {
                slot = &candidate;
                break;
            }
        }
        if (slot == nullptr) return -1;
        closeDescriptor(slot->conn_fd);
        closeDescriptor(slot->listen_fd);
        slot->reserved = true;
    }

    // The slot is reserved for this call: nothing else reads or writes it until it is in use or released.
    slot->address = sockaddr_in{};
    slot->address.sin_family = AF_INET;
    slot->address.sin_port = htons(port);
    slot->address.sin_addr.s_addr = htonl(ip);
    slot->server = ip == 0 ? 1 : 0;

    const bool opened = slot->server ? openServer(*slot) : openClient(*slot);
    if (!opened) {
        failSocketOpen(*slot);
        return -1;
    }
    std::lock_guard<std::mutex> guard(g_socket_table_mutex);
    slot->reserved = false;
    slot->in_use.store(1, std::memory_order_release);
    return static_cast<int>(slot - g_sockets);
}

int SOCK_Read(int handle, void* buf, int len, uint32_t wait_ms) {
    SocketSlot* slot = usedSocketSlot(handle);
    if (slot == nullptr || buf == nullptr || len < 0) return -2;
    // A zero-byte recv() returns 0, which must not be taken for a closed peer.
    if (len == 0) return 0;
    int ready = waitForDescriptor(slot->conn_fd, POLLIN, wait_ms);
    if (ready == 0) return 0;
    if (ready < 0) return -2;
    ssize_t count = recv(slot->conn_fd, buf, static_cast<size_t>(len), MSG_DONTWAIT);
    if (count > 0) return static_cast<int>(count);
    if (count == 0) return -1;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    return -2;
}

int SOCK_Write(int handle, const void* buf, int len) {
    SocketSlot* slot = usedSocketSlot(handle);
    if (slot == nullptr) return -2;
    if (len < 1) return len;
    if (buf == nullptr) return -2;

    const char* next = static_cast<const char*>(buf);
    size_t left = static_cast<size_t>(len);
    const auto stall_limit = std::chrono::milliseconds(hal::socketWriteStallLimit());
    SteadyClock::time_point last_progress = SteadyClock::now();
    while (left > 0) {
        // MSG_NOSIGNAL: a closed peer gives EPIPE here instead of a SIGPIPE that would end the process.
        ssize_t sent = send(slot->conn_fd, next, left, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            next += sent;
            left -= static_cast<size_t>(sent);
            last_progress = SteadyClock::now();
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -2;
        // Socket buffer full: wait until it drains, but not forever for a peer that stopped reading.
        auto waited = SteadyClock::now() - last_progress;
        if (waited >= stall_limit) return -2;
        auto left_ms = std::chrono::duration_cast<std::chrono::milliseconds>(stall_limit - waited).count();
        if (waitForDescriptor(slot->conn_fd, POLLOUT,
                              static_cast<uint32_t>(std::max<long long>(left_ms, 1))) < 0)
            return -2;
    }
    return len;
}

int SOCK_GetRxBufLen(int handle) {
    SocketSlot* slot = usedSocketSlot(handle);
    if (slot == nullptr) return -2;
    int waiting = 0;
    if (ioctl(slot->conn_fd, FIONREAD, &waiting) != 0) return -2;
    return waiting;
}

void SOCK_Close(int handle) {
    if (!inRange(handle, kSocketSlots)) return;
    std::lock_guard<std::mutex> guard(g_socket_table_mutex);
    SocketSlot& slot = g_sockets[handle];
    // A reserved slot belongs to an SOCK_Open still in progress.
    if (slot.reserved) return;
    releaseSocketSlot(slot);
}
