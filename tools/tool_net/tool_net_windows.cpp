// The tools' connection on Windows: blocking Winsock sockets.
// A console or pipe handle cannot be select()ed, so a reader thread moves
// standard input into a queue, and Wait alternates short select() slices on
// the socket with a look at that queue and at the Ctrl+C flag.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winsock2.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "tools/tool_net/tool_net.h"
#include "tools/tool_net/tool_net_system.h"

namespace toolnet {
namespace {

// How long one select() slice lasts: the most that typed input or Ctrl+C waits.
constexpr int kSliceMs = 10;

std::atomic<bool> g_interrupted{false};

// Standard input as read by the reader thread and not yet taken by ReadInput.
std::mutex g_inputMutex;
std::string g_input;
bool g_inputEnded = false;
bool g_readerStarted = false;

BOOL WINAPI OnConsoleControl(DWORD) {
    g_interrupted.store(true);
    return TRUE;
}

void ReaderLoop() {
    HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    char chunk[4096];
    for (;;) {
        DWORD got = 0;
        BOOL ok = ::ReadFile(in, chunk, sizeof chunk, &got, nullptr);
        std::lock_guard<std::mutex> lock(g_inputMutex);
        if (!ok || got == 0) {
            g_inputEnded = true;  // end of file, a closed pipe, or no input at all
            return;
        }
        g_input.append(chunk, got);
    }
}

bool InputReady() {
    std::lock_guard<std::mutex> lock(g_inputMutex);
    if (!g_readerStarted) {
        g_readerStarted = true;
        // Detached: it may sit in ReadFile until the process exits.
        std::thread(ReaderLoop).detach();
        return false;
    }
    return !g_input.empty() || g_inputEnded;
}

}  // namespace

namespace sys {

SocketHandle OpenSocket(const addrinfo& address, int* err) {
    SOCKET s = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (s == INVALID_SOCKET) {
        *err = ::WSAGetLastError();
        return INVALID_SOCKET;
    }
    return static_cast<SocketHandle>(s);
}

void SetBlocking(SocketHandle s, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    ::ioctlsocket(sys::Native(s), FIONBIO, &nonBlocking);
}

int LastError() {
    return ::WSAGetLastError();
}

bool ConnectPending(int code) {
    return code == WSAEWOULDBLOCK;
}

std::string ErrorText(int code) {
    char text[256] = {};
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) {
        text[--n] = '\0';
    }
    return n > 0 ? std::string(text) : "error " + std::to_string(code);
}

// getaddrinfo reports Winsock error codes.
std::string ResolveErrorText(int code) {
    return ErrorText(code);
}

long SendSome(SocketHandle s, const char* data, std::size_t length) {
    // send takes an int count.
    int chunk = static_cast<int>(std::min<std::size_t>(length, 1 << 20));
    return ::send(Native(s), data, chunk, 0);
}

}  // namespace sys

bool Start(std::string* error) {
    WSADATA data;
    int r = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (r != 0) {
        *error = sys::ErrorText(r);
        return false;
    }
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    return true;
}

int Receive(SocketHandle s, void* buffer, int length) {
    int r = ::recv(sys::Native(s), static_cast<char*>(buffer), length, 0);
    return r == SOCKET_ERROR ? -1 : r;
}

void ShutdownSend(SocketHandle s) {
    ::shutdown(sys::Native(s), SD_SEND);
}

void Close(SocketHandle s) {
    ::closesocket(sys::Native(s));
}

unsigned Wait(SocketHandle s, bool watchInput, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        unsigned ready = g_interrupted.load() ? kReadyInterrupt : kReadyNone;
        if (watchInput && InputReady()) {
            ready |= kReadyInput;
        }
        int sliceMs = ready != kReadyNone ? 0 : kSliceMs;
        if (timeoutMs >= 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            sliceMs = std::max(0, std::min(sliceMs, static_cast<int>(left.count())));
        }
        if (s != INVALID_SOCKET) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(sys::Native(s), &readable);
            timeval tv;
            tv.tv_sec = 0;
            tv.tv_usec = sliceMs * 1000;
            if (::select(0, &readable, nullptr, nullptr, &tv) > 0) {
                ready |= kReadySocket;
            }
        } else if (sliceMs > 0) {
            ::Sleep(static_cast<DWORD>(sliceMs));
        }
        if (ready != kReadyNone || (timeoutMs >= 0 && Clock::now() >= deadline)) {
            return ready;
        }
    }
}

int ReadInput(void* buffer, int length) {
    std::lock_guard<std::mutex> lock(g_inputMutex);
    if (g_input.empty()) {
        return g_inputEnded ? 0 : -1;
    }
    int n = static_cast<int>(std::min<std::size_t>(g_input.size(), static_cast<size_t>(length)));
    std::memcpy(buffer, g_input.data(), static_cast<size_t>(n));
    g_input.erase(0, static_cast<size_t>(n));
    return n;
}

bool Interrupted() {
    return g_interrupted.load();
}

void SetBinaryOutput() {
    std::fflush(stdout);
    ::_setmode(::_fileno(stdout), _O_BINARY);
}

}  // namespace toolnet
