// POSIX implementation of the platform layer: BSD sockets in non-blocking
// mode, CLOCK_MONOTONIC, nanosleep, signal handlers and a standard output
// that never waits (posix/output.h).
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "platform/platform.h"
#include "platform/posix/output.h"
#include "platform/posix/readiness.h"

namespace {

void (*g_onStop)(StopRequest) = nullptr;

// SIGTERM (a service manager's stop) asks gently, SIGHUP says it is a
// hang-up; SIGINT stops at once.
extern "C" void OnStopSignal(int number) {
    if (g_onStop != nullptr) {
        g_onStop(number == SIGTERM  ? StopRequest::kGently
                 : number == SIGHUP ? StopRequest::kHangUp
                                    : StopRequest::kNow);
    }
}

int ToFd(SocketHandle s) {
    return static_cast<int>(s);
}

bool IsTransient(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// A send's bytes accepted, or why none were.
int SendResult(ssize_t r) {
    if (r > 0) {
        return static_cast<int>(r);
    }
    if (r == 0) {
        return kIoWouldBlock;
    }
    return IsTransient(errno) ? kIoWouldBlock : kIoError;
}

class CPosixPlatform : public CPlatform {
  public:
    CPosixPlatform() {
        // Made at the start of main: the process's start as near as a
        // confined service (no /proc/stat) can tell it.
        timespec wall;
        clock_gettime(CLOCK_REALTIME, &wall);
        startSeconds_ = static_cast<double>(wall.tv_sec) + wall.tv_nsec / 1e9;
#if defined(__GLIBC__)
        // Large buffers (client queues grown for a backlog) get pages of
        // their own that go back to the system when freed. Left to itself,
        // glibc raises this threshold after such a free and serves later
        // ones from its heap, which keeps freed memory and fragments it, so
        // the process would hold far more than the memory budget allows.
        mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
    }

    void StartNetwork() override {
        // A peer that vanished must show up as a failed send, not kill us.
        std::signal(SIGPIPE, SIG_IGN);
        // Every client holds a descriptor, and the usual soft limit (1024)
        // would turn clients away long before the hard limit does.
        rlimit files;
        if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
            files.rlim_cur = files.rlim_max;
            setrlimit(RLIMIT_NOFILE, &files);  // on refusal the old limit stays
        }
    }

    void InstallStopHandler(void (*onStop)(StopRequest)) override {
        g_onStop = onStop;
        struct sigaction sa = {};
        sa.sa_handler = OnStopSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGHUP, &sa, nullptr);
    }

    SocketHandle CreateTcpSocket() override {
        int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (fd < 0) {
            return INVALID_SOCKET;
        }
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        return static_cast<SocketHandle>(fd);
    }

    void SetReuseAddress(SocketHandle s) override {
        int one = 1;
        ::setsockopt(ToFd(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }

    int SetNonBlocking(SocketHandle s) override {
        int flags = ::fcntl(ToFd(s), F_GETFL, 0);
        if (flags < 0 || ::fcntl(ToFd(s), F_SETFL, flags | O_NONBLOCK) < 0) {
            return -1;
        }
        return 0;
    }

    int BindAnyIPv4(SocketHandle s, std::uint16_t port) override {
        return BindIPv4(s, INADDR_ANY, port);
    }

    int BindIPv4(SocketHandle s, std::uint32_t address, std::uint16_t port) override {
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(address);
        return ::bind(ToFd(s), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ? -1 : 0;
    }

    int Listen(SocketHandle s, int backlog) override {
        if (::listen(ToFd(s), backlog) < 0) {
            return -1;
        }
        readiness_.WatchListener(ToFd(s));
        return 0;
    }

    SocketHandle Accept(SocketHandle listener) override {
        std::uint32_t peer = 0;
        return AcceptFrom(listener, &peer);
    }

    SocketHandle AcceptFrom(SocketHandle listener, std::uint32_t* peer) override {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        int fd = ::accept(ToFd(listener), reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (fd < 0) {
            return INVALID_SOCKET;
        }
        *peer = from.sin_family == AF_INET ? ntohl(from.sin_addr.s_addr) : 0;
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        // Every pass makes at most one send per client, carrying all that is
        // queued, so Nagle's algorithm has nothing left to merge; it would only
        // hold a small send back until the peer acknowledges the previous one,
        // which a peer that delays its ACKs does up to 40 ms later.
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        readiness_.Watch(fd);
        return static_cast<SocketHandle>(fd);
    }

    int Recv(SocketHandle s, void* buffer, int length) override {
        ssize_t r = ::recv(ToFd(s), buffer, static_cast<size_t>(length), 0);
        if (r >= 0) {
            return static_cast<int>(r);
        }
        return IsTransient(errno) ? kIoWouldBlock : kIoError;
    }

    int Send(SocketHandle s, const void* data, int length) override {
        return SendResult(::send(ToFd(s), data, static_cast<size_t>(length), MSG_NOSIGNAL));
    }

    int SendGather(SocketHandle s, const SendSlice* slices, int count) override {
        // One piece, the usual case in a fast pace: send() skips the kernel's
        // copy of a message header and vector, a tenth of a small send's cost.
        if (count == 1) {
            return Send(s, slices[0].data, slices[0].length);
        }
        iovec pieces[kMaxSendSlices];
        count = count < kMaxSendSlices ? count : kMaxSendSlices;
        for (int i = 0; i < count; ++i) {
            pieces[i].iov_base = const_cast<void*>(slices[i].data);
            pieces[i].iov_len = static_cast<size_t>(slices[i].length);
        }
        msghdr message = {};
        message.msg_iov = pieces;
        message.msg_iovlen = static_cast<size_t>(count);
        return SendResult(::sendmsg(ToFd(s), &message, MSG_NOSIGNAL));
    }

    void CloseSocket(SocketHandle s) override {
        readiness_.Forget(ToFd(s));
        ::close(ToFd(s));
    }

    bool ShutdownSend(SocketHandle s) override {
        return ::shutdown(ToFd(s), SHUT_WR) == 0;
    }

    void AbortSocket(SocketHandle s) override {
        linger now = {1, 0};
        ::setsockopt(ToFd(s), SOL_SOCKET, SO_LINGER, &now, sizeof now);
        CloseSocket(s);
    }

    void RefreshReadiness() override {
        readiness_.Refresh();
    }
    bool MayRead(SocketHandle s) override {
        return readiness_.MayRead(ToFd(s));
    }
    ReadyList ReadySockets() override {
        return readiness_.Ready();
    }
    void WaitReadiness(int timeoutMs) override {
        if (!readiness_.Wait(timeoutMs)) {
            SleepMs(timeoutMs);
        }
    }

    std::uint32_t TickCount() override {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        unsigned long long ms = static_cast<unsigned long long>(ts.tv_sec) * 1000ull +
                                static_cast<unsigned long long>(ts.tv_nsec) / 1000000ull;
        return static_cast<std::uint32_t>(ms);
    }

    std::uint64_t MicroTicks() override {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<std::uint64_t>(ts.tv_sec) * 1000000ull +
               static_cast<std::uint64_t>(ts.tv_nsec) / 1000ull;
    }

    std::uint64_t WallClockMs() override {
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        return static_cast<std::uint64_t>(ts.tv_sec) * 1000ull +
               static_cast<std::uint64_t>(ts.tv_nsec) / 1000000ull;
    }

    ProcessFigures Process() override {
        ProcessFigures figures;
        figures.startTimeSeconds = startSeconds_;
        rusage usage;
        if (getrusage(RUSAGE_SELF, &usage) == 0) {
            figures.cpuSeconds =
                static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        }
        // Linux: resident pages in /proc/self/statm, descriptors in /proc/self/fd.
        if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
            long long pages = 0;
            long long resident = 0;
            if (std::fscanf(statm, "%lld %lld", &pages, &resident) == 2) {
                figures.residentBytes = resident * sysconf(_SC_PAGESIZE);
            }
            std::fclose(statm);
        }
        figures.openFiles = OpenDescriptors();
        rlimit files;
        if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
            figures.maxFiles = static_cast<long long>(files.rlim_cur);
        }
        return figures;
    }

    void SleepMs(int ms) override {
        timespec ts;
        ts.tv_sec = ms / 1000;
        ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
        // A stop signal cuts the sleep short; the loop checks the flag next.
        nanosleep(&ts, nullptr);
    }

    void SleepMicros(std::uint32_t us) override {
        timespec ts;
        ts.tv_sec = static_cast<time_t>(us / 1000000u);
        ts.tv_nsec = static_cast<long>(us % 1000000u) * 1000L;
        nanosleep(&ts, nullptr);
    }

    bool LookUpHost(const char* host, char* address, std::size_t addressSize, char* error,
                    std::size_t errorSize) override {
        addrinfo hints = {};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        int result = ::getaddrinfo(host, nullptr, &hints, &found);
        if (result != 0) {
            std::snprintf(error, errorSize, "%s",
                          result == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(result));
            return false;
        }
        // IPv4 first, as a connection by address would try it.
        const addrinfo* pick = nullptr;
        for (const addrinfo* a = found; a != nullptr && pick == nullptr; a = a->ai_next) {
            pick = a->ai_family == AF_INET ? a : nullptr;
        }
        for (const addrinfo* a = found; a != nullptr && pick == nullptr; a = a->ai_next) {
            pick = a->ai_family == AF_INET6 ? a : nullptr;
        }
        bool ok = false;
        if (pick != nullptr) {
            const void* where =
                pick->ai_family == AF_INET
                    ? static_cast<const void*>(
                          &reinterpret_cast<const sockaddr_in*>(pick->ai_addr)->sin_addr)
                    : static_cast<const void*>(
                          &reinterpret_cast<const sockaddr_in6*>(pick->ai_addr)->sin6_addr);
            ok = ::inet_ntop(pick->ai_family, where, address,
                             static_cast<socklen_t>(addressSize)) != nullptr;
        }
        ::freeaddrinfo(found);
        if (!ok) {
            std::snprintf(error, errorSize, "no address");
        }
        return ok;
    }

    int WriteOutput(const char* data, int length) override {
        return WriteStandardOutput(data, length);
    }

    std::FILE* OpenForReading(const char* path) override {
        return std::fopen(path, "rb");
    }

    bool StampFile(const char* path, FileStamp* stamp) override {
        struct stat st;
        if (::stat(path, &st) != 0) {
            return false;
        }
        stamp->size = static_cast<long long>(st.st_size);
        stamp->modified = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL +
                          static_cast<long long>(st.st_mtim.tv_nsec);
        stamp->changed = static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL +
                         static_cast<long long>(st.st_ctim.tv_nsec);
        stamp->id = static_cast<long long>(st.st_ino);
        return true;
    }

  private:
    // Linux 6.2 and later give the count as the size of /proc/self/fd, at
    // once; before, it is counted entry by entry, which takes milliseconds
    // with thousands of clients. -1 where neither tells.
    static long long OpenDescriptors() {
        struct stat info;
        if (::stat("/proc/self/fd", &info) != 0) {
            return -1;
        }
        if (info.st_size > 0) {
            return static_cast<long long>(info.st_size);
        }
        DIR* fds = opendir("/proc/self/fd");
        if (fds == nullptr) {
            return -1;
        }
        long long count = 0;
        while (dirent* entry = readdir(fds)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        closedir(fds);
        return count - 1;  // less the one this look holds
    }

    CReadiness readiness_;
    double startSeconds_ = 0;
};

}  // namespace

CPlatform& SystemPlatform() {
    // Never destroyed: the server's own static destructor still closes
    // sockets through it at process exit.
    static CPosixPlatform* platform = new CPosixPlatform;
    return *platform;
}
