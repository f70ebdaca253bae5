// The tools' connection on POSIX: blocking BSD sockets, select() over the
// socket, standard input and a self-pipe that the signal handler writes to,
// so an interrupt wakes a wait without races.
#include <fcntl.h>
#include <unistd.h>
#include <atomic>
#include <csignal>
#include <cstring>

#include "tools/tool_net/tool_net.h"
#include "tools/tool_net/tool_net_system.h"

namespace toolnet {
namespace {

std::atomic<bool> g_interrupted{false};
int g_wakePipe[2] = {-1, -1};

extern "C" void OnInterruptSignal(int) {
    g_interrupted.store(true);
    if (g_wakePipe[1] >= 0) {
        int saved = errno;
        char byte = 1;
        ssize_t ignored = ::write(g_wakePipe[1], &byte, 1);
        (void)ignored;
        errno = saved;
    }
}

}  // namespace

namespace sys {

SocketHandle OpenSocket(const addrinfo& address, int* err) {
    int fd = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (fd < 0) {
        *err = errno;
        return INVALID_SOCKET;
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return static_cast<SocketHandle>(fd);
}

void SetBlocking(SocketHandle s, bool blocking) {
    int flags = ::fcntl(sys::Native(s), F_GETFL, 0);
    ::fcntl(sys::Native(s), F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

int LastError() {
    return errno;
}

bool ConnectPending(int code) {
    return code == EINPROGRESS;
}

std::string ErrorText(int code) {
    return std::strerror(code);
}

std::string ResolveErrorText(int code) {
    return ::gai_strerror(code);
}

long SendSome(SocketHandle s, const char* data, std::size_t length) {
    for (;;) {
        // MSG_NOSIGNAL: a vanished peer fails the send instead of raising SIGPIPE.
        ssize_t r = ::send(Native(s), data, length, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        return static_cast<long>(r);
    }
}

}  // namespace sys

bool Start(std::string* error) {
    // A vanished peer must show up as a failed send, not kill the tool.
    std::signal(SIGPIPE, SIG_IGN);
    if (::pipe(g_wakePipe) < 0) {
        *error = std::strerror(errno);
        return false;
    }
    for (int fd : g_wakePipe) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    struct sigaction sa = {};
    sa.sa_handler = OnInterruptSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    return true;
}

int Receive(SocketHandle s, void* buffer, int length) {
    for (;;) {
        ssize_t r = ::recv(sys::Native(s), buffer, static_cast<size_t>(length), 0);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        return r < 0 ? -1 : static_cast<int>(r);
    }
}

void ShutdownSend(SocketHandle s) {
    ::shutdown(sys::Native(s), SHUT_WR);
}

void Close(SocketHandle s) {
    ::close(sys::Native(s));
}

unsigned Wait(SocketHandle s, bool watchInput, int timeoutMs) {
    if (g_interrupted.load()) {
        return kReadyInterrupt;
    }
    fd_set readable;
    FD_ZERO(&readable);
    int top = -1;
    auto add = [&](int fd) {
        if (fd >= 0) {
            FD_SET(fd, &readable);
            top = fd > top ? fd : top;
        }
    };
    add(s == INVALID_SOCKET ? -1 : sys::Native(s));
    add(watchInput ? STDIN_FILENO : -1);
    add(g_wakePipe[0]);
    timeval tv;
    timeval* limit = nullptr;
    if (timeoutMs >= 0) {
        tv.tv_sec = timeoutMs / 1000;
        tv.tv_usec = (timeoutMs % 1000) * 1000;
        limit = &tv;
    }
    int r = ::select(top + 1, &readable, nullptr, nullptr, limit);
    unsigned ready = g_interrupted.load() ? kReadyInterrupt : kReadyNone;
    if (r <= 0) {
        return ready;  // time-out, or a signal cut the wait short
    }
    if (s != INVALID_SOCKET && FD_ISSET(sys::Native(s), &readable)) {
        ready |= kReadySocket;
    }
    if (watchInput && FD_ISSET(STDIN_FILENO, &readable)) {
        ready |= kReadyInput;
    }
    return ready;
}

int ReadInput(void* buffer, int length) {
    for (;;) {
        ssize_t r = ::read(STDIN_FILENO, buffer, static_cast<size_t>(length));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        return r < 0 ? -1 : static_cast<int>(r);
    }
}

bool Interrupted() {
    return g_interrupted.load();
}

void SetBinaryOutput() {}

}  // namespace toolnet
