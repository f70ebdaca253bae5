// The --low-latency pace: a message reaches everyone in the pass that reads
// it, one send a client and pass still, and the loop waits for the sockets
// instead of sleeping, never starting passes closer than the gap.
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "server/client_timers.h"
#include "server/settings.h"
#include "server_fixture.h"

namespace {

class LowLatencyTest : public ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        g_settings.lowLatency = true;
        fake.reportReadiness = true;
    }
    void TearDown() override {
        g_settings.lowLatency = false;
        ServerFixture::TearDown();
    }

    std::vector<SocketHandle> ConnectSome(int count) {
        std::vector<SocketHandle> peers;
        for (int i = 0; i < count; ++i) {
            peers.push_back(Connect());
        }
        return peers;
    }

    // Each client's sends since the last call.
    std::map<SocketHandle, int> SendsSince(std::map<SocketHandle, int>* before) {
        std::map<SocketHandle, int> made;
        for (auto& entry : *before) {
            made[entry.first] = fake.At(entry.first).sendCalls - entry.second;
            entry.second = fake.At(entry.first).sendCalls;
        }
        return made;
    }

    // Runs the loop until `passes` passes have started.
    void RunPasses(int passes, const std::function<void()>& betweenPasses) {
        fake.clockFollowsWaits = true;
        auto step = [this, passes, betweenPasses](int) {
            if (fake.readinessLooks - looksBefore_ >= passes) {
                g_quit.store(1);
            } else if (betweenPasses) {
                betweenPasses();
            }
        };
        looksBefore_ = fake.readinessLooks;
        fake.onWait = step;
        fake.onSleep = step;
        RunServerLoop();
    }

    int looksBefore_ = 0;
};

// Few clients (every one walked) and many (only those due): the sender at
// each place in the round.
class SamePassTest : public LowLatencyTest, public ::testing::WithParamInterface<int> {};

TEST_P(SamePassTest, MessageReachesEveryClientInThePassThatReadsIt) {
    std::vector<SocketHandle> peers = ConnectSome(GetParam());
    for (size_t sender = 0; sender < peers.size(); ++sender) {
        std::string text = "from " + std::to_string(sender);
        fake.Feed(peers[sender], Frame(text));
        Pass();
        for (SocketHandle peer : peers) {
            EXPECT_EQ(fake.TakeSent(peer), Frame(text)) << "sender " << sender;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(RoundSizes, SamePassTest, ::testing::Values(2, 6));

TEST_F(LowLatencyTest, ClientSendsAtMostOncePerPass) {
    const int kClients = 6;
    std::vector<SocketHandle> peers = ConnectSome(kClients);
    std::map<SocketHandle, int> calls;
    for (SocketHandle peer : peers) {
        calls[peer] = fake.At(peer).sendCalls;
    }
    // Two senders a pass, at both ends of the list: as the round moves on,
    // each client has its turn between them in some pass, sends the first
    // message there and gets the second after it.
    size_t total = 0;
    for (int pass = 0; pass < 2 * kClients; ++pass) {
        for (SocketHandle sender : {peers.front(), peers.back()}) {
            std::string text = "m" + std::to_string(pass) + (sender == peers.front() ? "a" : "b");
            fake.Feed(sender, Frame(text));
            total += Frame(text).size();
        }
        Pass();
        for (const auto& made : SendsSince(&calls)) {
            EXPECT_LE(made.second, 1) << "pass " << pass;
        }
    }
    Pass();  // what waited for the next pass
    std::string all = fake.TakeSent(peers[0]);
    EXPECT_EQ(all.size(), total);
    for (size_t i = 1; i < peers.size(); ++i) {
        EXPECT_EQ(fake.TakeSent(peers[i]), all);
    }
}

// Listeners on both sides of a sender in the round, one getting each
// message after its turn and one in it: both are idle exactly as long as
// they are silent, however many messages go out to them meanwhile.
TEST_F(LowLatencyTest, OutputSentAfterItsTurnLeavesTheIdleTimeAsItWas) {
    const int kElapsedMs = 20;
    SocketHandle before = Connect();
    SocketHandle sender = Connect();
    SocketHandle after = Connect();
    int silentMs = 0;
    while (silentMs + kElapsedMs < kIdleTimeoutMs) {
        fake.Feed(sender, Frame("tick"));
        Pass(kElapsedMs);
        silentMs += kElapsedMs;
        ASSERT_FALSE(fake.IsClosed(before)) << "after " << silentMs << " ms";
        ASSERT_FALSE(fake.IsClosed(after)) << "after " << silentMs << " ms";
    }
    fake.Feed(sender, Frame("tick"));
    Pass(kElapsedMs);
    EXPECT_TRUE(fake.IsClosed(before));
    EXPECT_TRUE(fake.IsClosed(after));
    EXPECT_FALSE(fake.IsClosed(sender));
}

TEST_F(LowLatencyTest, PassesNeverStartWithinTheGap) {
    SocketHandle a = Connect();
    SocketHandle b = Connect();
    const struct {
        const char* name;
        bool stalled;  // b takes nothing: it has work in every pass, and no byte moves
        bool chatty;   // a writes during every wait
        int gapUs;     // the least time between passes after the first
    } cases[] = {{"work in every pass", true, false, kStillPassGapUs},
                 {"a write in every wait", false, true, kMinPassGapUs}};
    for (const auto& c : cases) {
        fake.At(b).sendLimit = c.stalled ? 0 : INT_MAX;
        fake.Feed(a, Frame("start"));
        fake.lookTimes.clear();
        int sent = 0;
        RunPasses(10, [&] {
            if (c.chatty) {
                fake.Feed(a, Frame("n" + std::to_string(++sent)));
            }
        });
        g_quit.store(0);
        ASSERT_GE(fake.lookTimes.size(), 10u) << c.name;
        for (size_t i = 1; i < fake.lookTimes.size(); ++i) {
            EXPECT_GE(fake.lookTimes[i] - fake.lookTimes[i - 1],
                      static_cast<std::uint64_t>(i == 1 ? kMinPassGapUs : c.gapUs))
                << c.name << ", pass " << i;
        }
    }
}

TEST_F(LowLatencyTest, SleepingServerWakesWhenAClientWrites) {
    SocketHandle a = Connect();
    SocketHandle b = Connect();
    std::uint64_t wroteAt = 0;
    size_t looksAtWrite = 0;
    size_t looksByThen = 0;
    std::string sentByThen;
    fake.clockFollowsWaits = true;
    fake.onWait = [&](int) {
        size_t waits = fake.waitTimeouts.size();
        if (waits == 2) {
            wroteAt = fake.MicroTicks();
            looksAtWrite = fake.lookTimes.size();
            fake.Feed(a, Frame("wake"));
        } else if (waits == 3) {
            sentByThen = fake.TakeSent(b);
            looksByThen = fake.lookTimes.size();
            g_quit.store(1);
        }
    };
    RunServerLoop();
    ASSERT_EQ(fake.waitTimeouts.size(), 3u);
    // Nothing due: the server waits a whole pass sleep for the sockets.
    EXPECT_EQ(fake.waitTimeouts[0], kPassSleepMs);
    EXPECT_EQ(fake.waitTimeouts[1], kPassSleepMs);
    // The write ended that wait, and the next pass relayed it, before the
    // wait's time was up.
    EXPECT_EQ(sentByThen, Frame("wake"));
    EXPECT_LT(fake.lookTimes.back() - wroteAt, kPassSleepMs * 1000ull);
    // That one pass sent it to both, leaving nothing due: it waits again.
    EXPECT_EQ(looksByThen, looksAtWrite + 1);
    EXPECT_EQ(fake.waitTimeouts[2], kPassSleepMs);
}

}  // namespace
