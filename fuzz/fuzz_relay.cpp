// Drives the server core through the fake platform with an input-chosen
// script: peers connect, bytes arrive split at arbitrary points, sends take
// any byte count, would-block or fail, peers close or break, the clock jumps,
// single allocations fail, and readiness is reported or not. After every pass
// it checks what each peer has received and the state of every client; at
// the end it drains all output.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "check.h"
#include "console/console.h"
#include "fake_platform.h"
#include "server/client.h"
#include "server/relay.h"
#include "server/server.h"
#include "stream/frame.h"
#include "stream/heap.h"

namespace {

constexpr int kMaxPeers = 6;
constexpr int kMaxSteps = 300;
const std::string kFastText = "look\r\ngo north\r\n";
const std::string kFastReply = "@FASTCOMMANDS\n" + kFastText;

// A fake that also refuses to be used on a socket after it was closed.
class CheckedPlatform : public FakePlatform {
  public:
    int Recv(SocketHandle s, void* buffer, int length) override {
        CHECK(!IsClosed(s));
        return FakePlatform::Recv(s, buffer, length);
    }
    int Send(SocketHandle s, const void* data, int length) override {
        CHECK(!IsClosed(s));
        CHECK(length > 0 && length <= kMaxSendPerPass);
        return FakePlatform::Send(s, data, length);
    }
    void CloseSocket(SocketHandle s) override {
        CHECK(!IsClosed(s));
        FakePlatform::CloseSocket(s);
    }
    std::FILE* OpenForReading(const char*) override {
        if (fastFileMissing) {
            return nullptr;
        }
        return fmemopen(const_cast<char*>(kFastText.data()), kFastText.size(), "rb");
    }
    bool fastFileMissing = false;
};

// What one peer has sent and received, as the peer sees it.
struct Peer {
    SocketHandle socket = INVALID_SOCKET;
    std::string fed;  // bytes handed to the server, from the first unparsed one
    std::size_t parsed = 0;
    bool fedBroken = false;  // an out-of-range length was fed; nothing after it counts
    std::string got;         // received bytes not yet cut into frames
    int pingsSent = 0, pingsGot = 0, fastSent = 0, fastGot = 0;
};

struct Console {
    int connected = 0, disconnected = 0, pings = 0, other = 0;
};
Console g_console;

void CountLine(const char* line) {
    if (std::strcmp(line, "New client connected\n") == 0) {
        ++g_console.connected;
    } else if (std::strcmp(line, "Disconnected\n") == 0) {
        ++g_console.disconnected;
    } else if (std::strcmp(line, "@PING\n") == 0) {
        ++g_console.pings;
    } else {
        CHECK(std::strcmp(line, "TIMEOUT\n") == 0 || std::strcmp(line, "Invalid msg size\n") == 0 ||
              std::strcmp(line, "Output overflow\n") == 0 ||
              std::strcmp(line, "Memory budget exceeded\n") == 0);
        ++g_console.other;
    }
}

// Fails the n-th allocation from now (0: none).
int g_failIn = 0;
void* FailingRealloc(void* block, std::size_t size) {
    if (g_failIn > 0 && --g_failIn == 0) {
        return nullptr;
    }
    return std::realloc(block, size);
}

class Harness {
  public:
    CheckedPlatform fake;
    std::vector<Peer> peers;
    // Texts that may be relayed: every complete frame fed, cut at its NUL.
    std::unordered_set<std::string> relayable;
    const char* checkedHistory[3] = {nullptr, nullptr, nullptr};

    // Cuts the frames a peer has sent so far, as the server would.
    void ParseFed(Peer& p) {
        while (!p.fedBroken) {
            frame::CutResult cut =
                frame::Cut(reinterpret_cast<const unsigned char*>(p.fed.data() + p.parsed),
                           p.fed.size() - p.parsed);
            if (cut.status == frame::CutStatus::kBadLength) {
                p.fedBroken = true;
                break;
            }
            if (cut.status == frame::CutStatus::kNeedMore) {
                break;
            }
            const std::size_t n = static_cast<std::size_t>(cut.length);
            const char* payload = p.fed.data() + p.parsed + frame::kHeaderSize;
            std::string text(payload, strnlen(payload, n));
            p.parsed += frame::kHeaderSize + n;
            if (text == "@PING") {
                ++p.pingsSent;
            } else if (text == "@FASTCOMMANDS") {
                ++p.fastSent;
            } else {
                relayable.insert(text);
            }
        }
        // Only the unparsed rest is kept.
        p.fed.erase(0, p.parsed);
        p.parsed = 0;
    }

    void Feed(Peer& p, const std::string& bytes) {
        if (bytes.empty()) {
            return;
        }
        fake.Feed(p.socket, bytes);
        if (!p.fedBroken) {
            p.fed += bytes;
        }
        ParseFed(p);
    }

    // Every frame a peer receives is whole, non-empty, NUL-free, and either
    // a relayed text or a reply to a request that peer made.
    void CheckReceived(Peer& p) {
        p.got += fake.TakeSent(p.socket);
        std::size_t at = 0;
        for (;;) {
            // The server sends nothing longer than a client may: the fast
            // reply is at most 14 + 19983 bytes.
            frame::CutResult cut = frame::Cut(
                reinterpret_cast<const unsigned char*>(p.got.data() + at), p.got.size() - at);
            CHECK(cut.status != frame::CutStatus::kBadLength);
            if (cut.status == frame::CutStatus::kNeedMore) {
                break;
            }
            CHECK(cut.length > 0);
            const std::size_t n = static_cast<std::size_t>(cut.length);
            std::string payload = p.got.substr(at + frame::kHeaderSize, n);
            at += frame::kHeaderSize + n;
            CHECK(payload.find('\0') == std::string::npos);
            if (payload == "@PING") {
                CHECK(++p.pingsGot <= p.pingsSent);
            } else if (relayable.count(payload) == 0) {
                CHECK(payload == kFastReply);
                CHECK(++p.fastGot <= p.fastSent);
            }
        }
        p.got.erase(0, at);
    }

    Peer* PeerOf(SocketHandle s) {
        for (Peer& p : peers) {
            if (p.socket == s) {
                return &p;
            }
        }
        return nullptr;
    }

    static void CheckStream(const CMemoryStream& s) {
        CHECK(s.size >= 0 && s.position >= 0 && s.position <= s.size);
        CHECK((s.data == nullptr) == (s.Capacity() == 0));
    }

    // The bytes of `head` followed by those of `queue` are a run of whole,
    // non-empty frames.
    static void CheckWholeFrames(const std::string& head, const COutputQueue& queue) {
        // Every queued frame is at least a header and one byte long.
        std::vector<SendSlice> slices(static_cast<std::size_t>(queue.Size()) / 5 + 1);
        int pieces = queue.Gather(slices.data(), static_cast<int>(slices.size()), queue.Size());
        std::string all = head;
        for (int i = 0; i < pieces; ++i) {
            all.append(static_cast<const char*>(slices[static_cast<std::size_t>(i)].data),
                       static_cast<std::size_t>(slices[static_cast<std::size_t>(i)].length));
        }
        CHECK(all.size() == head.size() + static_cast<std::size_t>(queue.Size()));
        std::size_t at = 0;
        while (at < all.size()) {
            CHECK(all.size() - at >= frame::kHeaderSize);
            std::int32_t n =
                frame::DecodeLength(reinterpret_cast<const unsigned char*>(all.data() + at));
            CHECK(n > 0);
            at += frame::kHeaderSize + static_cast<std::size_t>(n);
        }
        CHECK(at == all.size());
    }

    // The list, every client's streams, and the history.
    void CheckServer() {
        int count = 0;
        long long held = 0;
        CClient* prev = nullptr;
        for (CClient* c = g_server.clients; c != nullptr; c = c->next) {
            CHECK(c->prev == prev);
            prev = c;
            CHECK(++count <= kMaxPeers);
            Peer* p = PeerOf(c->Socket());
            CHECK(p != nullptr && !fake.IsClosed(c->Socket()));
            const CMemoryStream& input = c->Input().Kept();
            CheckStream(input);
            CHECK(c->output.Size() >= 0);
            held += c->HeldBytes();
            // Input starts at a frame boundary, and every whole frame in it
            // has been handled.
            CHECK(frame::Cut(input.data, static_cast<std::size_t>(input.size)).status ==
                  frame::CutStatus::kNeedMore);
            CHECK(c->output.Size() <= kMaxQueuedOutput);
            // What the peer holds of a cut frame plus the queue is whole frames
            // (a client being dropped has let its queue go).
            if (!c->Dropping()) {
                CheckWholeFrames(p->got, c->output);
            }
        }
        CHECK(g_server.memory.Total() == held);  // the running total is what clients hold
        // History entries never change while kept, so each is looked up once.
        for (int i = 0; i < 3; ++i) {
            if (g_server.relay.history[i] != nullptr &&
                g_server.relay.history[i] != checkedHistory[i]) {
                CHECK(relayable.count(g_server.relay.history[i]) == 1);
            }
            checkedHistory[i] = g_server.relay.history[i];
        }
        int closed = 0;
        for (Peer& p : peers) {
            closed += fake.IsClosed(p.socket) ? 1 : 0;
        }
        CHECK(g_console.disconnected == closed);
        CHECK(g_console.connected == count + closed);
    }

    void Pass(int elapsedMs) {
        g_server.Update(elapsedMs);
        int pingsGot = 0;
        for (Peer& p : peers) {
            if (!fake.IsClosed(p.socket) || !p.got.empty() || !fake.At(p.socket).sent.empty()) {
                CheckReceived(p);
            }
            pingsGot += p.pingsGot;
        }
        CHECK(pingsGot <= g_console.pings);
        CheckServer();
    }

    std::string MakeFrame(FuzzedDataProvider& in) {
        std::string payload;
        switch (in.ConsumeIntegralInRange(0, 5)) {
            case 0:
                payload = "@PING";
                break;
            case 1:
                payload = "@FASTCOMMANDS";
                break;
            case 2: {
                // Lengths at the limit and one past it: the header and the
                // start of the payload, which is all the server looks at.
                std::int32_t n = static_cast<std::int32_t>(frame::kMaxPayload) +
                                 in.ConsumeIntegralInRange(-1, 1);
                std::size_t part = in.ConsumeIntegralInRange<std::size_t>(0, 1000);
                return LengthOnly(n) + std::string(part, 'L');
            }
            case 3: {
                // Long frames cost the most time, so they come rarely: some
                // longer than one receive, or two of them than one send.
                std::size_t n = in.ConsumeIntegralInRange(0, 15) == 0
                                    ? in.ConsumeIntegralInRange<std::size_t>(0, 40000)
                                    : in.ConsumeIntegralInRange<std::size_t>(0, 2000);
                payload.assign(n, static_cast<char>(in.ConsumeIntegral<char>()));
                break;
            }
            default:
                payload = in.ConsumeRandomLengthString(300);
                break;
        }
        return LengthOnly(static_cast<std::int32_t>(payload.size())) + payload;
    }

    void Run(FuzzedDataProvider& in) {
        for (int step = 0; step < kMaxSteps && in.remaining_bytes() > 0; ++step) {
            int op = in.ConsumeIntegralInRange(0, 10);
            if (op == 0 || peers.empty()) {
                if (static_cast<int>(peers.size()) < kMaxPeers) {
                    peers.emplace_back();
                    peers.back().socket = fake.QueueConnection();
                }
                continue;
            }
            Peer& p = peers[in.ConsumeIntegralInRange<std::size_t>(0, peers.size() - 1)];
            FakePlatform::Socket& sock = fake.At(p.socket);
            switch (op) {
                case 1:
                    Feed(p, in.ConsumeBytesAsString(in.ConsumeIntegralInRange(1, 200)));
                    break;
                case 2: {
                    // One frame, arriving in two receives split anywhere.
                    std::string f = MakeFrame(in);
                    std::size_t cut = in.ConsumeIntegralInRange<std::size_t>(0, f.size());
                    Feed(p, f.substr(0, cut));
                    Feed(p, f.substr(cut));
                    break;
                }
                case 3:
                    fake.FeedCode(p.socket, in.PickValueInArray({0, kIoError, kIoWouldBlock}));
                    break;
                case 4:
                    sock.sendResult = 0;
                    sock.sendLimit =
                        in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 70000) : INT_MAX;
                    break;
                case 5:
                    sock.sendResult = in.ConsumeBool() ? kIoWouldBlock : kIoError;
                    break;
                case 6:
                    g_failIn = in.ConsumeIntegralInRange(0, 12);
                    break;
                case 7:
                    fake.fastFileMissing = in.ConsumeBool();
                    break;
                case 9:
                    // Receives only on sockets the pass's readiness look saw.
                    fake.reportReadiness = in.ConsumeBool();
                    break;
                case 8: {
                    // Enough quiet passes for the idle time-out to run out.
                    int passes = in.ConsumeIntegralInRange(1, 70);
                    for (int i = 0; i < passes; ++i) {
                        Pass(250);
                    }
                    break;
                }
                default:
                    Pass(in.ConsumeIntegralInRange(0, 250));
                    break;
            }
        }
        Drain();
    }

    // With every send accepted and no failures, all queued output goes out,
    // every client marked to be dropped is gone, and each peer still
    // connected ends at a frame boundary.
    void Drain() {
        g_failIn = 0;
        for (Peer& p : peers) {
            fake.At(p.socket).sendResult = 0;
            fake.At(p.socket).sendLimit = INT_MAX;
        }
        for (int i = 0; i < 1000; ++i) {
            bool queued = false;
            // A client marked to be dropped goes at its next turn.
            for (CClient* c = g_server.clients; c != nullptr; c = c->next) {
                queued = queued || c->output.Size() > 0 || c->Dropping();
            }
            if (!queued) {
                break;
            }
            Pass(0);
        }
        for (CClient* c = g_server.clients; c != nullptr; c = c->next) {
            CHECK(c->output.Size() == 0);
            CHECK(PeerOf(c->Socket())->got.empty());
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    g_console = Console();
    g_failIn = 0;
    {
        Harness h;
        SetPlatform(&h.fake);
        SetConsoleSink(CountLine);
        SetHeapRealloc(FailingRealloc);
        CHECK(g_server.Open(5000));
        h.Run(in);
        g_server.Shutdown();
        for (Peer& p : h.peers) {
            // Every peer the server took is closed exactly once by now.
            CHECK(h.fake.IsClosed(p.socket) ||
                  std::find(h.fake.backlog.begin(), h.fake.backlog.end(), p.socket) !=
                      h.fake.backlog.end());
        }
    }
    for (char*& entry : g_server.relay.history) {
        std::free(entry);
        entry = nullptr;
    }
    SetHeapRealloc(nullptr);
    SetConsoleSink(nullptr);
    SetPlatform(nullptr);
    return 0;
}
