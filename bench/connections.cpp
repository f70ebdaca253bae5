#include "connections.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "clock.h"
#include "stream/frame.h"

namespace {
// epoll tags at and above this one are the servers' console pipes.
constexpr std::uint64_t kServerOutputTag = 1ull << 62;
}  // namespace

Connections::Connections(ServerGroup& servers)
    : servers_(servers),
      wire_(MakeWire(servers.kind())),
      epoll_(epoll_create1(EPOLL_CLOEXEC)),
      events_(1024),
      readBuffer_(262144) {
    for (int i = 0; i < servers_.size(); ++i) {
        if (servers_.at(i).outputFd() >= 0) {
            epoll_event ev = {};
            ev.events = EPOLLIN;
            ev.data.u64 = kServerOutputTag + static_cast<std::uint64_t>(i);
            epoll_ctl(epoll_, EPOLL_CTL_ADD, servers_.at(i).outputFd(), &ev);
        }
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

long Connections::Ready() const {
    return wire_->ReadyFromConsole() ? servers_.accepted() : ready_;
}

int Connections::Open(int client, Wire::Role role) {
    int fd = ConnectLoopback(servers_.PortForClient(client));
    if (fd < 0) {
        return -1;
    }
    Conn c;
    c.fd = fd;
    c.client = client;
    c.role = role;
    c.lastSendNs = NowNs();
    wire_->AppendHello(c.out, role);
    conns_.push_back(std::move(c));
    int index = static_cast<int>(conns_.size()) - 1;
    epoll_event ev = {};
    // Writable once the connect completes.
    ev.events = EPOLLIN | EPOLLOUT;
    ev.data.u64 = static_cast<std::uint64_t>(index);
    conns_.back().interest = ev.events;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
    return index;
}

bool Connections::GrowTo(int count, int window, double timeoutSec, bool keepAlive) {
    std::int64_t deadline = NowNs() + static_cast<std::int64_t>(timeoutSec * kNsPerSec);
    std::int64_t nextKeepAlive = NowNs();
    while (Ready() < count) {
        while (size() < count && size() - Ready() < window) {
            int client = size();
            Client added = {-1, -1};
            for (Wire::Role role : wire_->Roles()) {
                if (role == Wire::Role::kPublisher && publishers_ >= 0 && client >= publishers_) {
                    continue;
                }
                int conn = Open(client, role);
                if (conn < 0) {
                    std::fprintf(stderr, "tovrel-bench: connect failed at %d clients\n", client);
                    return false;
                }
                if (added.receive < 0) {
                    added.receive = conn;
                }
                if (role != Wire::Role::kSubscriber) {
                    added.send = conn;
                }
            }
            clients_.push_back(added);
        }
        Poll(5);
        // Once a second is plenty for a 10 s quiet limit, and cheap with 10000 clients.
        if (keepAlive && NowNs() >= nextKeepAlive) {
            KeepAlive(10000);
            nextKeepAlive = NowNs() + kNsPerSec;
        }
        if (closed_ > 0 || NowNs() > deadline) {
            std::fprintf(stderr, "tovrel-bench: %ld clients ready of %d (%d connections closed)\n",
                         Ready(), count, closed_);
            return false;
        }
    }
    return true;
}

void Connections::Poll(int timeoutMs) {
    int n = epoll_wait(epoll_, events_.data(), static_cast<int>(events_.size()), timeoutMs);
    for (int i = 0; i < n; ++i) {
        const epoll_event& ev = events_[static_cast<size_t>(i)];
        if (ev.data.u64 >= kServerOutputTag) {
            servers_.at(static_cast<int>(ev.data.u64 - kServerOutputTag)).PumpOutput();
        } else {
            HandleEvent(static_cast<int>(ev.data.u64), ev.events);
        }
    }
}

void Connections::HandleEvent(int index, std::uint32_t events) {
    Conn& c = conns_[static_cast<size_t>(index)];
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

void Connections::Publish(int client, const std::string& payload) {
    publishBuffer_.clear();
    wire_->AppendPublish(publishBuffer_, payload);
    Send(client, publishBuffer_);
}

void Connections::Send(int client, const std::string& bytes) {
    SendOn(clients_[static_cast<size_t>(client)].send, bytes.data(), bytes.size());
}

void Connections::SendOn(int index, const char* bytes, size_t length) {
    if (index < 0) {
        return;  // a client without a publishing connection (LimitPublishers)
    }
    Conn& c = conns_[static_cast<size_t>(index)];
    if (c.closed) {
        return;
    }
    c.out.append(bytes, length);
    c.lastSendNs = NowNs();
    if (c.connected) {
        Flush(index);
    }
    if (!c.closed) {
        UpdateInterest(index);
    }
}

void Connections::KeepAlive(std::int64_t quietMs) {
    std::string keepAlive;
    wire_->AppendKeepAlive(keepAlive);
    std::int64_t now = NowNs();
    for (int i = 0; i < size(); ++i) {
        if (at(i).connected && now - at(i).lastSendNs > quietMs * kNsPerMs) {
            Send(i, keepAlive);
        }
    }
}

void Connections::SetReading(int client, bool reading) {
    int index = clients_[static_cast<size_t>(client)].receive;
    conns_[static_cast<size_t>(index)].reading = reading;
    UpdateInterest(index);
}

void Connections::UpdateInterest(int index) {
    Conn& c = conns_[static_cast<size_t>(index)];
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
    Conn& c = conns_[static_cast<size_t>(index)];
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
    Conn& c = conns_[static_cast<size_t>(index)];
    if (!c.reading) {
        return;
    }
    // A few reads per event: enough to keep up, yet fair to the others.
    for (int i = 0; i < 8 && !c.closed; ++i) {
        ssize_t r = ::recv(c.fd, readBuffer_.data(), readBuffer_.size(), 0);
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            Close(index);
            return;
        }
        if (r < 0) {
            break;
        }
        size_t got = static_cast<size_t>(r);
        c.bytesIn += got;
        if (wire_->Unframes()) {
            Unframe(index, readBuffer_.data(), got);
        } else if (c.in.empty()) {
            // Messages are cut where they lie; only a partial one is copied.
            size_t used = CutMessages(index, readBuffer_.data(), got);
            c.in.assign(reinterpret_cast<const char*>(readBuffer_.data()) + used, got - used);
        } else {
            c.in.append(reinterpret_cast<const char*>(readBuffer_.data()), got);
            size_t used = CutMessages(index, reinterpret_cast<const unsigned char*>(c.in.data()),
                                      c.in.size());
            c.in.erase(0, used);
        }
        if (got < readBuffer_.size()) {
            break;
        }
    }
}

size_t Connections::CutMessages(int index, const unsigned char* bytes, size_t length) {
    size_t offset = 0;
    for (;;) {
        Conn& c = conns_[static_cast<size_t>(index)];
        WireEvent e = wire_->Cut(bytes + offset, length - offset, c.role);
        switch (e.kind) {
            case WireEvent::Kind::kNeedMore:
                return offset;
            case WireEvent::Kind::kBad: {
                size_t shown = length - offset < 60 ? length - offset : 60;
                std::fprintf(stderr, "tovrel-bench: %s sent what the bench cannot read: %.*s\n",
                             KindName(servers_.kind()), static_cast<int>(shown),
                             reinterpret_cast<const char*>(bytes + offset));
                ++corrupt_;
                Close(index);
                return length;
            }
            case WireEvent::Kind::kMessage:
                if (onMessage) {
                    onMessage(c.client, e.payload, static_cast<std::uint32_t>(e.length));
                }
                break;
            case WireEvent::Kind::kReady:
                if (!c.ready) {
                    c.ready = true;
                    ++ready_;
                }
                break;
            case WireEvent::Kind::kAnswer: {
                std::string answer;
                wire_->AppendRaw(answer, e.payload, e.length);
                SendOn(index, answer.data(), answer.size());
                break;
            }
            case WireEvent::Kind::kOther:
                break;
        }
        offset += e.consumed;
    }
}

void Connections::Unframe(int index, const unsigned char* bytes, size_t length) {
    Conn& c = conns_[static_cast<size_t>(index)];
    c.frames.append(reinterpret_cast<const char*>(bytes), length);
    size_t at = 0;
    const unsigned char* data = reinterpret_cast<const unsigned char*>(c.frames.data());
    if (!c.answered) {
        bool upgraded = false;
        size_t answer = CutHttpAnswer(data, c.frames.size(), &upgraded);
        if (answer == 0) {
            return;
        }
        if (!upgraded) {
            std::fprintf(stderr, "tovrel-bench: %s refused the WebSocket upgrade\n",
                         KindName(servers_.kind()));
            ++corrupt_;
            Close(index);
            return;
        }
        c.answered = true;
        at = answer;
        std::string hello;
        wire_->AppendAfterUpgrade(hello, c.role);
        SendOn(index, hello.data(), hello.size());
    }
    for (;;) {
        int opcode = 0;
        const unsigned char* payload = nullptr;
        size_t n = 0;
        size_t frame = CutServerFrame(data + at, c.frames.size() - at, &opcode, &payload, &n);
        if (frame == 0) {
            break;
        }
        if (opcode == 8) {
            std::fprintf(stderr, "tovrel-bench: %s closed a WebSocket\n",
                         KindName(servers_.kind()));
            ++corrupt_;
            Close(index);
            return;
        }
        if (opcode <= 2) {  // the protocol's bytes, in data or continuation frames
            c.in.append(reinterpret_cast<const char*>(payload), n);
        }
        at += frame;
    }
    c.frames.erase(0, at);
    size_t used =
        CutMessages(index, reinterpret_cast<const unsigned char*>(c.in.data()), c.in.size());
    if (!conns_[static_cast<size_t>(index)].closed) {
        c.in.erase(0, used);
    }
}

void Connections::Close(int index) {
    Conn& c = conns_[static_cast<size_t>(index)];
    if (!c.closed) {
        c.closed = true;
        ++closed_;
        epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
    }
}
