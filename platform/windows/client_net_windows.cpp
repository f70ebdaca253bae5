// Windows implementation of the client services: blocking Winsock sockets.
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
#include <ws2tcpip.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "platform/client_net.h"

namespace clientnet {
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

SOCKET ToSocket(SocketHandle s) {
    return static_cast<SOCKET>(s);
}

std::string ErrorText(int code) {
    if (code == WSAETIMEDOUT) {
        return "no answer (timed out)";
    }
    char text[256] = {};
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) {
        text[--n] = '\0';
    }
    return n > 0 ? std::string(text) : "error " + std::to_string(code);
}

// A non-blocking connect bounded by timeoutMs; the socket is blocking again after.
bool ConnectWithin(SOCKET s, const sockaddr* addr, int length, int timeoutMs, int* err) {
    u_long on = 1;
    ::ioctlsocket(s, FIONBIO, &on);
    if (::connect(s, addr, length) == SOCKET_ERROR) {
        int code = ::WSAGetLastError();
        if (code != WSAEWOULDBLOCK) {
            *err = code;
            return false;
        }
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval tv;
        tv.tv_sec = timeoutMs / 1000;
        tv.tv_usec = (timeoutMs % 1000) * 1000;
        int r = ::select(0, nullptr, &writable, &failed, &tv);
        if (r <= 0) {
            *err = r == 0 ? WSAETIMEDOUT : ::WSAGetLastError();
            return false;
        }
        if (FD_ISSET(s, &failed)) {
            int soError = 0;
            int soLength = sizeof soError;
            ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &soLength);
            *err = soError != 0 ? soError : WSAECONNREFUSED;
            return false;
        }
    }
    u_long off = 0;
    ::ioctlsocket(s, FIONBIO, &off);
    return true;
}

}  // namespace

bool Start(std::string* error) {
    WSADATA data;
    int r = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (r != 0) {
        *error = ErrorText(r);
        return false;
    }
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    return true;
}

SocketHandle Connect(const std::string& host, std::uint16_t port, int timeoutMs,
                     std::string* error) {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    std::string service = std::to_string(port);
    int r = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (r != 0) {
        *error = ErrorText(r);
        return INVALID_SOCKET;
    }
    int lastError = 0;
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        SOCKET s = ::socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (s == INVALID_SOCKET) {
            lastError = ::WSAGetLastError();
            continue;
        }
        if (ConnectWithin(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen), timeoutMs,
                          &lastError)) {
            ::freeaddrinfo(list);
            return static_cast<SocketHandle>(s);
        }
        ::closesocket(s);
    }
    ::freeaddrinfo(list);
    *error = ErrorText(lastError);
    return INVALID_SOCKET;
}

bool SendAll(SocketHandle s, const void* data, std::size_t length) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        int chunk = static_cast<int>(std::min<std::size_t>(length, 1 << 20));
        int r = ::send(ToSocket(s), p, chunk, 0);
        if (r <= 0) {
            return false;
        }
        p += r;
        length -= static_cast<std::size_t>(r);
    }
    return true;
}

int Receive(SocketHandle s, void* buffer, int length) {
    int r = ::recv(ToSocket(s), static_cast<char*>(buffer), length, 0);
    return r == SOCKET_ERROR ? -1 : r;
}

void ShutdownSend(SocketHandle s) {
    ::shutdown(ToSocket(s), SD_SEND);
}

void Close(SocketHandle s) {
    ::closesocket(ToSocket(s));
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
            FD_SET(ToSocket(s), &readable);
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

}  // namespace clientnet
