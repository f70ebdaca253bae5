#include "connections.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "clock.h"
#include "stream/frame.h"

namespace {
constexpr std::uint64_t kServerOutputTag = ~0ull;
}

Connections::Connections(ServerProcess& server)
    : server_(server), epoll_(epoll_create1(EPOLL_CLOEXEC)), events_(1024), readBuffer_(262144) {
    if (server_.outputFd() >= 0) {
        epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.u64 = kServerOutputTag;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, server_.outputFd(), &ev);
    }
}

Connections::~Connections() {
    for (Conn& c : conns_) {
        if (c.fd >= 0) {
            ::close(c.fd);
        }
    }
    ::close(epoll_);
}

long Connections::Accepted() const {
    return server_.accepted();
}

bool Connections::GrowTo(int count, int window, double timeoutSec, bool keepAlive) {
    std::int64_t deadline = NowNs() + static_cast<std::int64_t>(timeoutSec * kNsPerSec);
    while (Accepted() < count) {
        while (size() < count && size() - Accepted() < window) {
            int fd = ConnectLoopback(server_.port());
            if (fd < 0) {
                std::fprintf(stderr, "tovrel-bench: connect failed at %d clients\n", size());
                return false;
            }
            Conn c;
            c.fd = fd;
            c.lastSendNs = NowNs();
            conns_.push_back(std::move(c));
            int index = size() - 1;
            epoll_event ev = {};
            // Writable once the connect completes.
            ev.events = EPOLLIN | EPOLLOUT;
            ev.data.u64 = static_cast<std::uint64_t>(index);
            conns_.back().interest = ev.events;
            epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
        }
        Poll(5);
        if (keepAlive) {
            KeepAlive(10000);
        }
        if (closed_ > 0 || NowNs() > deadline) {
            std::fprintf(stderr, "tovrel-bench: %d clients accepted of %d (%d closed)\n",
                         static_cast<int>(Accepted()), count, closed_);
            return false;
        }
    }
    return true;
}

void Connections::Poll(int timeoutMs) {
    int n = epoll_wait(epoll_, events_.data(), static_cast<int>(events_.size()), timeoutMs);
    for (int i = 0; i < n; ++i) {
        if (events_[static_cast<size_t>(i)].data.u64 == kServerOutputTag) {
            server_.PumpOutput();
        } else {
            HandleEvent(static_cast<int>(events_[static_cast<size_t>(i)].data.u64),
                        events_[static_cast<size_t>(i)].events);
        }
    }
}

void Connections::HandleEvent(int index, std::uint32_t events) {
    Conn& c = at(index);
    if (c.closed) {
        return;
    }
    if (!c.connected && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            Close(index);
            return;
        }
        c.connected = true;
    }
    if (events & EPOLLOUT) {
        Flush(index);
    }
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        ReadFrom(index);
    }
    if (!c.closed) {
        UpdateInterest(index);
    }
}

void Connections::Send(int index, const std::string& bytes) {
    Conn& c = at(index);
    if (c.closed) {
        return;
    }
    c.out.append(bytes);
    c.lastSendNs = NowNs();
    if (c.connected) {
        Flush(index);
    }
    if (!c.closed) {
        UpdateInterest(index);
    }
}

void Connections::KeepAlive(std::int64_t quietMs) {
    static const std::string kEmptyFrame(frame::kHeaderSize, '\0');
    std::int64_t now = NowNs();
    for (int i = 0; i < size(); ++i) {
        if (at(i).connected && now - at(i).lastSendNs > quietMs * kNsPerMs) {
            Send(i, kEmptyFrame);
        }
    }
}

void Connections::SetReading(int index, bool reading) {
    at(index).reading = reading;
    UpdateInterest(index);
}

void Connections::UpdateInterest(int index) {
    Conn& c = at(index);
    std::uint32_t want = c.reading ? static_cast<std::uint32_t>(EPOLLIN) : 0u;
    if (!c.connected || c.outOffset < c.out.size()) {
        want |= EPOLLOUT;
    }
    if (want != c.interest) {
        epoll_event ev = {};
        ev.events = want;
        ev.data.u64 = static_cast<std::uint64_t>(index);
        epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
        c.interest = want;
    }
}

void Connections::Flush(int index) {
    Conn& c = at(index);
    while (c.outOffset < c.out.size()) {
        ssize_t r =
            ::send(c.fd, c.out.data() + c.outOffset, c.out.size() - c.outOffset, MSG_NOSIGNAL);
        if (r > 0) {
            c.outOffset += static_cast<size_t>(r);
        } else {
            if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                Close(index);
            }
            return;
        }
    }
    c.out.clear();
    c.outOffset = 0;
}

void Connections::ReadFrom(int index) {
    Conn& c = at(index);
    if (!c.reading) {
        return;
    }
    // A few reads per event: enough to keep up, yet fair to the others.
    for (int i = 0; i < 8; ++i) {
        ssize_t r = ::recv(c.fd, readBuffer_.data(), readBuffer_.size(), 0);
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            Close(index);
            return;
        }
        if (r < 0) {
            break;
        }
        c.bytesIn += static_cast<std::uint64_t>(r);
        c.in.append(reinterpret_cast<const char*>(readBuffer_.data()), static_cast<size_t>(r));
        if (static_cast<size_t>(r) < readBuffer_.size()) {
            break;
        }
    }
    size_t offset = 0;
    while (c.in.size() - offset >= static_cast<size_t>(frame::kHeaderSize)) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(c.in.data()) + offset;
        std::uint32_t length = static_cast<std::uint32_t>(frame::DecodeLength(p));
        if (length > frame::kMaxPayload) {
            // Out of step: bytes of different frames were interleaved.
            ++corrupt_;
            Close(index);
            return;
        }
        if (c.in.size() - offset - frame::kHeaderSize < length) {
            break;
        }
        if (onFrame) {
            onFrame(index, p + frame::kHeaderSize, length);
        }
        offset += frame::kHeaderSize + length;
    }
    c.in.erase(0, offset);
}

void Connections::Close(int index) {
    Conn& c = at(index);
    if (!c.closed) {
        c.closed = true;
        ++closed_;
        epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
    }
}
