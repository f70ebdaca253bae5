// tovrel-floor: the least work a relay of this design can do, as a yardstick
// for the benchmarks. One thread, non-blocking sockets on 127.0.0.1, a fixed
// 20 ms pass. Each pass it accepts what waits, gives every readable client one
// receive, copies the complete frames it received into one pass buffer, and
// gives every client one send (at most 64 KiB) of that buffer. It knows the
// frame format and nothing else: no history, commands, or time-outs. A client
// that falls behind keeps its unsent bytes and is sent them from an offset.
//   tovrel-floor PORT      prints "accept" for every connection it takes
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "stream/frame.h"

namespace {

constexpr size_t kRecvPerPass = 32768;
constexpr size_t kSendPerPass = 65536;
constexpr size_t kMaxBacklog = 32u << 20;  // a reader this far behind is dropped
constexpr int kPassMs = 20;

volatile std::sig_atomic_t g_stop = 0;

void OnStop(int) {
    g_stop = 1;
}

// One connection: the partial frame it is sending us, and what it has not
// yet been sent of earlier passes (from `backlogSent` on).
struct Peer {
    int fd = -1;
    bool readable = false;
    bool dead = false;
    std::vector<unsigned char> in;
    std::vector<unsigned char> backlog;
    size_t backlogSent = 0;
};

int Listen(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 128) != 0) {
        return -1;
    }
    return fd;
}

bool WouldBlock(ssize_t r) {
    return r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

// Appends the complete frames at the front of `bytes` to the pass buffer;
// returns how many bytes they took. False in `ok` on a bad length.
size_t CutFrames(const unsigned char* bytes, size_t available, std::vector<unsigned char>& pass,
                 bool& ok) {
    size_t offset = 0;
    for (;;) {
        frame::CutResult cut = frame::Cut(bytes + offset, available - offset);
        if (cut.status != frame::CutStatus::kFrame) {
            ok = cut.status == frame::CutStatus::kNeedMore;
            return offset;
        }
        size_t total = frame::kHeaderSize + static_cast<size_t>(cut.length);
        pass.insert(pass.end(), bytes + offset, bytes + offset + total);
        offset += total;
    }
}

// One receive into the scratch area; complete frames go to the pass buffer,
// a partial one waits in the peer's input.
void Receive(Peer& p, std::vector<unsigned char>& pass) {
    static unsigned char scratch[kRecvPerPass];
    ssize_t r = ::recv(p.fd, scratch, sizeof scratch, 0);
    if (r == 0 || (r < 0 && !WouldBlock(r))) {
        p.dead = true;
        return;
    }
    if (r < 0) {
        return;
    }
    bool ok = true;
    size_t got = static_cast<size_t>(r);
    if (p.in.empty()) {
        size_t used = CutFrames(scratch, got, pass, ok);
        p.in.assign(scratch + used, scratch + got);
    } else {
        p.in.insert(p.in.end(), scratch, scratch + got);
        size_t used = CutFrames(p.in.data(), p.in.size(), pass, ok);
        p.in.erase(p.in.begin(), p.in.begin() + static_cast<long>(used));
    }
    p.dead = !ok;
}

// One send: straight from the pass buffer while the peer keeps up, else
// from its backlog, which is compacted only once half of it has gone out.
void SendTo(Peer& p, const std::vector<unsigned char>& pass) {
    if (p.backlog.empty()) {
        if (pass.empty()) {
            return;
        }
        size_t chunk = pass.size() < kSendPerPass ? pass.size() : kSendPerPass;
        ssize_t r = ::send(p.fd, pass.data(), chunk, MSG_NOSIGNAL);
        if (r < 0 && !WouldBlock(r)) {
            p.dead = true;
            return;
        }
        size_t sent = r > 0 ? static_cast<size_t>(r) : 0;
        p.backlog.assign(pass.begin() + static_cast<long>(sent), pass.end());
        p.backlogSent = 0;
        return;
    }
    p.backlog.insert(p.backlog.end(), pass.begin(), pass.end());
    if (p.backlog.size() - p.backlogSent > kMaxBacklog) {
        p.dead = true;
        return;
    }
    size_t left = p.backlog.size() - p.backlogSent;
    size_t chunk = left < kSendPerPass ? left : kSendPerPass;
    ssize_t r = ::send(p.fd, p.backlog.data() + p.backlogSent, chunk, MSG_NOSIGNAL);
    if (r < 0 && !WouldBlock(r)) {
        p.dead = true;
        return;
    }
    p.backlogSent += r > 0 ? static_cast<size_t>(r) : 0;
    if (p.backlogSent == p.backlog.size()) {
        p.backlog.clear();  // keeps its capacity for the next time it falls behind
        p.backlogSent = 0;
    } else if (p.backlogSent * 2 >= p.backlog.size()) {
        p.backlog.erase(p.backlog.begin(), p.backlog.begin() + static_cast<long>(p.backlogSent));
        p.backlogSent = 0;
    }
}

void AcceptAll(int listener, int epoll, std::vector<std::unique_ptr<Peer>>& peers) {
    for (;;) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto peer = std::make_unique<Peer>();
        peer->fd = fd;
        epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.ptr = peer.get();
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev);
        peers.push_back(std::move(peer));
        std::fputs("accept\n", stdout);
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int port = argc == 2 ? std::atoi(argv[1]) : 0;
    if (port < 1 || port > 65535) {
        std::fprintf(stderr, "usage: tovrel-floor PORT\n");
        return 2;
    }
    int listener = Listen(port);
    if (listener < 0) {
        std::fprintf(stderr, "tovrel-floor: cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    std::signal(SIGTERM, OnStop);
    std::signal(SIGINT, OnStop);
    int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<std::unique_ptr<Peer>> peers;
    std::vector<epoll_event> events(64);
    std::vector<unsigned char> pass;
    while (!g_stop) {
        AcceptAll(listener, epoll, peers);
        if (events.size() < peers.size() + 1) {
            events.resize(peers.size() + 1);
        }
        int n = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 0);
        for (int i = 0; i < n; ++i) {
            static_cast<Peer*>(events[static_cast<size_t>(i)].data.ptr)->readable = true;
        }
        pass.clear();
        for (auto& p : peers) {
            if (p->readable) {
                p->readable = false;
                Receive(*p, pass);
            }
        }
        for (size_t i = 0; i < peers.size();) {
            Peer& p = *peers[i];
            if (!p.dead) {
                SendTo(p, pass);
            }
            if (p.dead) {
                ::close(p.fd);  // also leaves the epoll set
                peers[i] = std::move(peers.back());
                peers.pop_back();
            } else {
                ++i;
            }
        }
        ::usleep(kPassMs * 1000);
    }
    for (auto& p : peers) {
        ::close(p->fd);
    }
    ::close(epoll);
    ::close(listener);
    return 0;
}
