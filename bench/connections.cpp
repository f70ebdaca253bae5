#include "connections.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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
    if (BenchTls()) {
        // Loopback to a relay of our own start: its certificate is not checked.
        tls_ = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(tls_, TLS1_2_VERSION);
        SSL_CTX_set_mode(tls_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        SSL_CTX_set_verify(tls_, SSL_VERIFY_NONE, nullptr);
    }
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
        SSL_free(c.ssl);
        if (c.fd >= 0) {
            ::close(c.fd);
        }
    }
    SSL_CTX_free(tls_);
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
        if (tls_ != nullptr && servers_.kind() != ServerProcess::Kind::kNats) {
            StartTls(index);
        }
    }
    if (tls_ != nullptr && !c.tlsUp) {
        // NATS says INFO in plaintext first; then the handshake, then the hello.
        if (c.ssl == nullptr && (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) &&
            !ReadNatsInfo(index)) {
            return;
        }
        if (c.ssl != nullptr && !DriveHandshake(index)) {
            return;
        }
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
    if (c.connected && (tls_ == nullptr || c.tlsUp)) {
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
    if (tls_ != nullptr && c.connected && !c.tlsUp) {
        want = EPOLLIN;  // the handshake, or NATS's INFO line, reads first
    }
    if (!c.connected || c.tlsWantsWrite ||
        (c.outOffset < c.out.size() && (tls_ == nullptr || c.tlsUp))) {
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
    if (tls_ != nullptr) {
        FlushTls(index);
        return;
    }
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
    if (tls_ != nullptr) {
        ReadTls(index);
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
        Received(index, got);
        if (got < readBuffer_.size()) {
            break;
        }
    }
}

void Connections::Received(int index, size_t got) {
    Conn& c = conns_[static_cast<size_t>(index)];
    c.bytesIn += got;
    if (wire_->Unframes()) {
        Unframe(index, readBuffer_.data(), got);
    } else if (c.in.empty()) {
        // Messages are cut where they lie; only a partial one is copied.
        size_t used = CutMessages(index, readBuffer_.data(), got);
        conns_[static_cast<size_t>(index)].in.assign(
            reinterpret_cast<const char*>(readBuffer_.data()) + used, got - used);
    } else {
        c.in.append(reinterpret_cast<const char*>(readBuffer_.data()), got);
        size_t used =
            CutMessages(index, reinterpret_cast<const unsigned char*>(c.in.data()), c.in.size());
        conns_[static_cast<size_t>(index)].in.erase(0, used);
    }
}

void Connections::StartTls(int index) {
    Conn& c = conns_[static_cast<size_t>(index)];
    c.ssl = SSL_new(tls_);
    if (c.ssl == nullptr) {
        Close(index);
        return;
    }
    SSL_set_fd(c.ssl, c.fd);
    SSL_set_connect_state(c.ssl);
}

bool Connections::DriveHandshake(int index) {
    Conn& c = conns_[static_cast<size_t>(index)];
    ERR_clear_error();
    int r = SSL_do_handshake(c.ssl);
    c.tlsWantsWrite = false;
    if (r == 1) {
        c.tlsUp = true;
        return true;
    }
    int error = SSL_get_error(c.ssl, r);
    if (error == SSL_ERROR_WANT_WRITE) {
        c.tlsWantsWrite = true;
    } else if (error != SSL_ERROR_WANT_READ) {
        std::fprintf(stderr, "tovrel-bench: TLS handshake with %s failed\n",
                     KindName(servers_.kind()));
        Close(index);
        return false;
    }
    UpdateInterest(index);
    return false;
}

bool Connections::ReadNatsInfo(int index) {
    Conn& c = conns_[static_cast<size_t>(index)];
    char buffer[4096];
    ssize_t r = ::recv(c.fd, buffer, sizeof buffer, 0);
    if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        Close(index);
        return false;
    }
    if (r > 0) {
        c.in.append(buffer, static_cast<size_t>(r));
    }
    if (c.in.find("\r\n") == std::string::npos) {
        return false;
    }
    c.in.clear();  // the INFO line; nothing follows it before the handshake
    StartTls(index);
    return !c.closed;
}

void Connections::FlushTls(int index) {
    Conn& c = conns_[static_cast<size_t>(index)];
    c.tlsWantsWrite = false;
    while (c.tlsUp && c.outOffset < c.out.size()) {
        ERR_clear_error();
        int r = SSL_write(c.ssl, c.out.data() + c.outOffset,
                          static_cast<int>(std::min<size_t>(c.out.size() - c.outOffset, 1 << 20)));
        if (r > 0) {
            c.outOffset += static_cast<size_t>(r);
            continue;
        }
        int error = SSL_get_error(c.ssl, r);
        if (error == SSL_ERROR_WANT_WRITE) {
            c.tlsWantsWrite = true;
        } else if (error != SSL_ERROR_WANT_READ) {
            Close(index);
        }
        return;
    }
    if (c.outOffset == c.out.size()) {
        c.out.clear();
        c.outOffset = 0;
    }
}

void Connections::ReadTls(int index) {
    // Until OpenSSL wants the socket: what it decrypted and holds would not
    // wake epoll again.
    for (;;) {
        Conn& c = conns_[static_cast<size_t>(index)];
        if (c.closed || !c.tlsUp) {
            return;
        }
        ERR_clear_error();
        int r = SSL_read(c.ssl, readBuffer_.data(), static_cast<int>(readBuffer_.size()));
        if (r <= 0) {
            int error = SSL_get_error(c.ssl, r);
            if (error == SSL_ERROR_WANT_WRITE) {
                c.tlsWantsWrite = true;
            } else if (error != SSL_ERROR_WANT_READ) {
                Close(index);
            }
            return;
        }
        Received(index, static_cast<size_t>(r));
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
