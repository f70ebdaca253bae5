// Windows implementation of the platform layer: Winsock 2 in non-blocking
// mode, GetTickCount, Sleep, a console control handler and a standard
// output written from a thread of its own (windows/output.h).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// WIN32_LEAN_AND_MEAN keeps windows.h from pulling in the old winsock.h, and
// both come before platform.h, which only supplies INVALID_SOCKET where the
// system does not.
#include <windows.h>
#include <winsock2.h>

#include <psapi.h>
#include <share.h>
#include <cstdio>

#include "platform/platform.h"
#include "platform/windows/output.h"
#include "platform/windows/readiness.h"

namespace {

void (*g_onStop)(StopRequest) = nullptr;

// Runs on a thread the system starts for each console event (Ctrl+C,
// Ctrl+Break, closing the window, ...). It only raises the stop flag and
// claims the event, so the loop can finish its pass and close every client.
// Ctrl+Break, which a supervisor can send a process group, asks gently;
// the others at once (the system ends the process soon after a close,
// log-off or shut-down event anyway).
BOOL WINAPI ConsoleCtrlHandler(DWORD ctrlType) {
    if (g_onStop != nullptr) {
        g_onStop(ctrlType == CTRL_BREAK_EVENT ? StopRequest::kGently : StopRequest::kNow);
    }
    return TRUE;
}

SOCKET ToSocket(SocketHandle s) {
    return static_cast<SOCKET>(s);
}

// Nothing to read, no room to send, or a call cut short: try again next pass.
bool IsTransient(int err) {
    return err == WSAEWOULDBLOCK || err == WSAEINTR;
}

// A send's bytes accepted, or why none were.
int SendResult(int r) {
    if (r > 0) {
        return r;
    }
    if (r == 0) {
        return kIoWouldBlock;
    }
    return IsTransient(WSAGetLastError()) ? kIoWouldBlock : kIoError;
}

class CWindowsPlatform : public CPlatform {
  public:
    void StartNetwork() override {
        WSADATA data;
        // A failure shows later as a socket that cannot be created.
        WSAStartup(MAKEWORD(2, 2), &data);
    }

    void InstallStopHandler(void (*onStop)(StopRequest)) override {
        g_onStop = onStop;
        SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
    }

    SocketHandle CreateTcpSocket() override {
        SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET) {
            return INVALID_SOCKET;
        }
        return static_cast<SocketHandle>(s);
    }

    void SetReuseAddress(SocketHandle s) override {
        // SO_REUSEADDR on Windows would let another program bind the same
        // port and take over new connections. Exclusive use keeps the port
        // ours; the price is that Windows may refuse a restart on the port
        // until connections of the previous run have fully ended.
        BOOL one = TRUE;
        ::setsockopt(ToSocket(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                     reinterpret_cast<const char*>(&one), static_cast<int>(sizeof one));
    }

    int SetNonBlocking(SocketHandle s) override {
        u_long one = 1;
        return ::ioctlsocket(ToSocket(s), FIONBIO, &one) != 0 ? -1 : 0;
    }

    int BindAnyIPv4(SocketHandle s, std::uint16_t port) override {
        return BindIPv4(s, INADDR_ANY, port);
    }

    int BindIPv4(SocketHandle s, std::uint32_t address, std::uint16_t port) override {
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(address);
        int r = ::bind(ToSocket(s), reinterpret_cast<const sockaddr*>(&addr),
                       static_cast<int>(sizeof addr));
        return r == SOCKET_ERROR ? -1 : 0;
    }

    int Listen(SocketHandle s, int backlog) override {
        // SOMAXCONN lets the provider pick a few hundred at most; the hint
        // form, SOMAXCONN_HINT(n) = -n, asks for n itself (200 to 65535).
        int request = backlog > 200 ? -backlog : backlog;
        return ::listen(ToSocket(s), request) == SOCKET_ERROR ? -1 : 0;
    }

    SocketHandle Accept(SocketHandle listener) override {
        std::uint32_t peer = 0;
        return AcceptFrom(listener, &peer);
    }

    SocketHandle AcceptFrom(SocketHandle listener, std::uint32_t* peer) override {
        sockaddr_in from{};
        int fromLength = static_cast<int>(sizeof from);
        SOCKET s = ::accept(ToSocket(listener), reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (s == INVALID_SOCKET) {
            return INVALID_SOCKET;
        }
        *peer = from.sin_family == AF_INET ? ntohl(from.sin_addr.s_addr) : 0;
        // One send per client per pass carries all that is queued; Nagle's
        // algorithm would only hold a small send back for a delayed ACK.
        BOOL one = TRUE;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                     static_cast<int>(sizeof one));
        readiness_.Watch(s);
        return static_cast<SocketHandle>(s);
    }

    int Recv(SocketHandle s, void* buffer, int length) override {
        int r = ::recv(ToSocket(s), static_cast<char*>(buffer), length, 0);
        if (r >= 0) {
            return r;
        }
        return IsTransient(WSAGetLastError()) ? kIoWouldBlock : kIoError;
    }

    int Send(SocketHandle s, const void* data, int length) override {
        // Winsock raises no signal for a vanished peer; the error is returned.
        return SendResult(::send(ToSocket(s), static_cast<const char*>(data), length, 0));
    }

    int SendGather(SocketHandle s, const SendSlice* slices, int count) override {
        WSABUF pieces[kMaxSendSlices];
        count = count < kMaxSendSlices ? count : kMaxSendSlices;
        for (int i = 0; i < count; ++i) {
            pieces[i].buf = static_cast<CHAR*>(const_cast<void*>(slices[i].data));
            pieces[i].len = static_cast<ULONG>(slices[i].length);
        }
        DWORD sent = 0;
        if (::WSASend(ToSocket(s), pieces, static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) !=
            0) {
            return SendResult(SOCKET_ERROR);
        }
        return SendResult(static_cast<int>(sent));
    }

    void CloseSocket(SocketHandle s) override {
        readiness_.Forget(ToSocket(s));
        ::closesocket(ToSocket(s));
    }

    bool ShutdownSend(SocketHandle s) override { return ::shutdown(ToSocket(s), SD_SEND) == 0; }

    void AbortSocket(SocketHandle s) override {
        linger now = {1, 0};
        ::setsockopt(ToSocket(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&now),
                     static_cast<int>(sizeof now));
        CloseSocket(s);
    }

    void RefreshReadiness() override { readiness_.Refresh(); }
    bool MayRead(SocketHandle s) override { return readiness_.MayRead(ToSocket(s)); }
    ReadyList ReadySockets() override { return readiness_.Ready(); }
    void WaitReadiness(int timeoutMs) override {
        if (!readiness_.Wait(timeoutMs)) {
            SleepMs(timeoutMs);
        }
    }

    std::uint32_t TickCount() override { return static_cast<std::uint32_t>(GetTickCount()); }

    std::uint64_t MicroTicks() override {
        LARGE_INTEGER count;
        LARGE_INTEGER frequency;
        if (!QueryPerformanceCounter(&count) || !QueryPerformanceFrequency(&frequency) ||
            frequency.QuadPart <= 0) {
            return CPlatform::MicroTicks();
        }
        std::uint64_t ticks = static_cast<std::uint64_t>(count.QuadPart);
        std::uint64_t perSecond = static_cast<std::uint64_t>(frequency.QuadPart);
        return ticks / perSecond * 1000000u + ticks % perSecond * 1000000u / perSecond;
    }

    std::uint64_t WallClockMs() override {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        // 100 ns steps from 1601, as in Process below.
        return (Join(now) - 116444736000000000ull) / 10000u;
    }

    ProcessFigures Process() override {
        ProcessFigures figures;
        HANDLE self = GetCurrentProcess();
        FILETIME created, exited, kernel, user;
        if (GetProcessTimes(self, &created, &exited, &kernel, &user)) {
            // FILETIME counts 100 ns steps from 1601; the Unix epoch is
            // 11644473600 s later.
            figures.startTimeSeconds = static_cast<double>(Join(created)) / 1e7 - 11644473600.0;
            figures.cpuSeconds = static_cast<double>(Join(kernel) + Join(user)) / 1e7;
        }
        PROCESS_MEMORY_COUNTERS memory;
        if (GetProcessMemoryInfo(self, &memory, sizeof memory)) {
            figures.residentBytes = static_cast<long long>(memory.WorkingSetSize);
        }
        // A process always holds some handles: none means the system (Wine)
        // did not tell.
        DWORD handles = 0;
        if (GetProcessHandleCount(self, &handles) && handles > 0) {
            figures.openFiles = static_cast<long long>(handles);
        }
        // The most handles a process may hold.
        figures.maxFiles = 16LL * 1024 * 1024;
        return figures;
    }

    void SleepMs(int ms) override { Sleep(static_cast<DWORD>(ms)); }

    int WriteOutput(const char* data, int length) override {
        return WriteStandardOutput(data, length);
    }
    bool OutputPending() override { return StandardOutputPending(); }

    std::FILE* OpenForReading(const char* path) override {
        // Readers may share the file; an editor still writing it makes the
        // open fail, so a half-written list is never sent.
        return _fsopen(path, "rb", _SH_DENYWR);
    }

    bool StampFile(const char* path, FileStamp* stamp) override {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
            return false;
        }
        stamp->size = (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        stamp->modified = (static_cast<long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                          data.ftLastWriteTime.dwLowDateTime;
        // A file put in place by a rename keeps its times; its creation tells it.
        stamp->changed = (static_cast<long long>(data.ftCreationTime.dwHighDateTime) << 32) |
                         data.ftCreationTime.dwLowDateTime;
        stamp->id = 0;
        return true;
    }

  private:
    static unsigned long long Join(const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    }

    CReadiness readiness_;
};

}  // namespace

CPlatform& SystemPlatform() {
    // Never destroyed: the server's own static destructor still closes
    // sockets through it at process exit.
    static CWindowsPlatform* platform = new CWindowsPlatform;
    return *platform;
}
