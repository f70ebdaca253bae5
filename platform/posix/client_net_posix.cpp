// POSIX implementation of the client services: blocking BSD sockets, select()
// over the socket, standard input and a self-pipe that the signal handler
// writes to, so an interrupt wakes a wait without races.
#include <fcntl.h>
#include <netdb.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/client_net.h"

namespace clientnet {
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

int ToFd(SocketHandle s) {
    return static_cast<int>(s);
}

// A non-blocking connect bounded by timeoutMs; the socket is blocking again after.
bool ConnectWithin(int fd, const sockaddr* addr, socklen_t length, int timeoutMs, int* err) {
    int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int r = ::connect(fd, addr, length);
    if (r < 0 && errno != EINPROGRESS) {
        *err = errno;
        return false;
    }
    if (r < 0) {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(fd, &writable);
        timeval tv;
        tv.tv_sec = timeoutMs / 1000;
        tv.tv_usec = (timeoutMs % 1000) * 1000;
        r = ::select(fd + 1, nullptr, &writable, nullptr, &tv);
        if (r <= 0) {
            *err = r == 0 ? ETIMEDOUT : errno;
            return false;
        }
        int soError = 0;
        socklen_t soLength = sizeof soError;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &soLength);
        if (soError != 0) {
            *err = soError;
            return false;
        }
    }
    ::fcntl(fd, F_SETFL, flags);
    return true;
}

}  // namespace

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
        *error = ::gai_strerror(r);
        return INVALID_SOCKET;
    }
    int lastError = 0;
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        if (ConnectWithin(fd, ai->ai_addr, ai->ai_addrlen, timeoutMs, &lastError)) {
            ::freeaddrinfo(list);
            return static_cast<SocketHandle>(fd);
        }
        ::close(fd);
    }
    ::freeaddrinfo(list);
    *error = lastError == ETIMEDOUT ? "no answer (timed out)" : std::strerror(lastError);
    return INVALID_SOCKET;
}

bool SendAll(SocketHandle s, const void* data, std::size_t length) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t r = ::send(ToFd(s), p, length, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        p += r;
        length -= static_cast<std::size_t>(r);
    }
    return true;
}

int Receive(SocketHandle s, void* buffer, int length) {
    for (;;) {
        ssize_t r = ::recv(ToFd(s), buffer, static_cast<size_t>(length), 0);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        return r < 0 ? -1 : static_cast<int>(r);
    }
}

void ShutdownSend(SocketHandle s) {
    ::shutdown(ToFd(s), SHUT_WR);
}

void Close(SocketHandle s) {
    ::close(ToFd(s));
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
    add(s == INVALID_SOCKET ? -1 : ToFd(s));
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
    if (s != INVALID_SOCKET && FD_ISSET(ToFd(s), &readable)) {
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

}  // namespace clientnet
