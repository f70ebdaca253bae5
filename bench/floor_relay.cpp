// tovrel-floor: the least work a relay of this design can do, as a yardstick
// for the benchmarks. One thread, non-blocking sockets on 127.0.0.1, a fixed
// 20 ms pass. Each pass it accepts what waits, gives every readable client one
// receive, copies the complete frames it received into one pass buffer, and
// gives every client one send (at most 64 KiB). It knows the frame format and
// nothing else: no history, commands, or time-outs. Nothing is copied per
// receiver: pass buffers are kept, in order, until every client has been sent
// them, and a client is only a position in that sequence, so one behind is
// sent from where it stands, gathering across passes.
//   tovrel-floor PORT      prints "accept" for every connection it takes
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
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

// One connection: the partial frame it is sending us, and how far into the
// relayed bytes it has been sent (a position in the stream of all passes).
struct Peer {
    int fd = -1;
    bool readable = false;
    bool dead = false;
    std::vector<unsigned char> in;
    std::uint64_t sentTo = 0;
};

// The passes not yet sent to every peer, oldest first; pass k holds the
// relayed bytes from stream position starts[k] on. Drained buffers are kept
// for reuse, so a steady stream allocates nothing.
class PassQueue {
  public:
    std::vector<unsigned char>& Open() {
        if (spare_.empty()) {
            spare_.emplace_back();
        }
        passes_.push_back(std::move(spare_.back()));
        spare_.pop_back();
        passes_.back().clear();
        starts_.push_back(end_);
        return passes_.back();
    }
    // Ends the pass opened last; an empty one is dropped at once.
    void Close() {
        end_ += passes_.back().size();
        if (passes_.back().empty()) {
            spare_.push_back(std::move(passes_.back()));
            passes_.pop_back();
            starts_.pop_back();
        }
    }
    std::uint64_t end() const { return end_; }

    // Up to `most` bytes from `from` on, as iovecs; returns how many.
    int Gather(std::uint64_t from, size_t most, iovec* iov, int maxIov) const {
        size_t k = passes_.size();
        while (k > 0 && starts_[k - 1] > from) {
            --k;
        }
        int n = 0;
        for (k = k == 0 ? 0 : k - 1; k < passes_.size() && most > 0 && n < maxIov; ++k) {
            size_t skip = from > starts_[k] ? static_cast<size_t>(from - starts_[k]) : 0;
            size_t take = passes_[k].size() - skip;
            take = take < most ? take : most;
            iov[n].iov_base = const_cast<unsigned char*>(passes_[k].data() + skip);
            iov[n].iov_len = take;
            ++n;
            most -= take;
        }
        return n;
    }

    // Lets go of the passes that end at or before `position`.
    void DropBefore(std::uint64_t position) {
        while (!passes_.empty() && starts_.front() + passes_.front().size() <= position) {
            spare_.push_back(std::move(passes_.front()));
            passes_.pop_front();
            starts_.pop_front();
        }
    }

  private:
    std::deque<std::vector<unsigned char>> passes_;
    std::deque<std::uint64_t> starts_;
    std::vector<std::vector<unsigned char>> spare_;
    std::uint64_t end_ = 0;
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

// One send of what the peer has not been sent yet, at most 64 KiB.
void SendTo(Peer& p, const PassQueue& passes) {
    std::uint64_t behind = passes.end() - p.sentTo;
    if (behind == 0) {
        return;
    }
    if (behind > kMaxBacklog) {
        p.dead = true;
        return;
    }
    iovec iov[64];
    msghdr msg = {};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(passes.Gather(p.sentTo, kSendPerPass, iov, 64));
    ssize_t r = ::sendmsg(p.fd, &msg, MSG_NOSIGNAL);
    if (r < 0 && !WouldBlock(r)) {
        p.dead = true;
        return;
    }
    p.sentTo += r > 0 ? static_cast<std::uint64_t>(r) : 0;
}

void AcceptAll(int listener, int epoll, const PassQueue& passes,
               std::vector<std::unique_ptr<Peer>>& peers) {
    for (;;) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto peer = std::make_unique<Peer>();
        peer->fd = fd;
        peer->sentTo = passes.end();  // a newcomer gets only what is relayed from now on
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
    PassQueue passes;
    while (!g_stop) {
        AcceptAll(listener, epoll, passes, peers);
        if (events.size() < peers.size() + 1) {
            events.resize(peers.size() + 1);
        }
        int n = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 0);
        for (int i = 0; i < n; ++i) {
            static_cast<Peer*>(events[static_cast<size_t>(i)].data.ptr)->readable = true;
        }
        std::vector<unsigned char>& pass = passes.Open();
        for (auto& p : peers) {
            if (p->readable) {
                p->readable = false;
                Receive(*p, pass);
            }
        }
        passes.Close();
        std::uint64_t slowest = passes.end();
        for (size_t i = 0; i < peers.size();) {
            Peer& p = *peers[i];
            if (!p.dead) {
                SendTo(p, passes);
            }
            if (p.dead) {
                ::close(p.fd);  // also leaves the epoll set
                peers[i] = std::move(peers.back());
                peers.pop_back();
            } else {
                slowest = p.sentTo < slowest ? p.sentTo : slowest;
                ++i;
            }
        }
        passes.DropBefore(slowest);
        ::usleep(kPassMs * 1000);
    }
    for (auto& p : peers) {
        ::close(p->fd);
    }
    ::close(epoll);
    ::close(listener);
    return 0;
}
