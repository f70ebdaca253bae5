#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "server/settings.h"
#include "server_fixture.h"

namespace {

// The limits that keep the server whole under load: the memory budget, the
// shared intake and the stall time-out.
class LoadTest : public ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        fake.reportReadiness = true;
    }
    void TearDown() override {
        g_settings.maxMemoryBytes = savedBudget;
        ServerFixture::TearDown();
    }
    // Bytes a peer has sent that the server has not received yet.
    size_t Unreceived(SocketHandle s) {
        size_t n = 0;
        for (const auto& event : fake.At(s).inbound) {
            n += event.bytes.size();
        }
        return n;
    }
    SocketHandle ConnectStalled() {
        SocketHandle s = fake.QueueConnection();
        fake.At(s).sendResult = kIoWouldBlock;
        Pass(0);
        return s;
    }

    long long savedBudget = g_settings.maxMemoryBytes;
    const std::string big = Frame(std::string(131072, 'm'));
};

TEST_F(LoadTest, BudgetDropsTheLargestHolderFirstAndNeverAReaderThatKeepsPace) {
    g_settings.maxMemoryBytes = 1536 * 1024;
    g_server.memory.SetLimit(g_settings.maxMemoryBytes);
    SocketHandle talker = Connect();
    SocketHandle reader = Connect();
    std::vector<SocketHandle> stalled = {ConnectStalled()};
    std::vector<SocketHandle> closedInOrder;
    std::string got;
    for (int k = 0; k < 24; ++k) {
        if (k == 6 || k == 12) {
            stalled.push_back(ConnectStalled());  // each later one holds less
        }
        fake.Feed(talker, big);
        for (int i = 0; i < 6; ++i) {
            Pass();
            EXPECT_LE(g_server.memory.Total(), g_settings.maxMemoryBytes);
            for (SocketHandle s : stalled) {
                CClient* c = FindClient(s);
                if ((c == nullptr || c->Dropping()) &&
                    std::find(closedInOrder.begin(), closedInOrder.end(), s) ==
                        closedInOrder.end()) {
                    closedInOrder.push_back(s);
                }
            }
        }
        got += fake.TakeSent(reader);
    }
    Pass();
    Pass();
    got += fake.TakeSent(reader);
    EXPECT_EQ(closedInOrder, stalled);
    for (SocketHandle s : stalled) {
        EXPECT_TRUE(fake.At(s).aborted);  // a reset: the kernel lets its unsent bytes go
    }
    EXPECT_FALSE(fake.IsClosed(talker));
    EXPECT_FALSE(fake.IsClosed(reader));
    std::string all;
    for (int k = 0; k < 24; ++k) {
        all += big;
    }
    EXPECT_TRUE(got == all) << got.size() << " of " << all.size() << " bytes";
    EXPECT_GT(FindClient(reader)->HeldBytes(), 0);  // its drained buffer is kept a while
    for (int i = 0; i < 60; ++i) {
        Pass();
    }
    EXPECT_EQ(FindClient(reader)->HeldBytes(), 0);
    std::string console = Console();
    size_t drops = 0;
    for (size_t at = console.find("Memory budget exceeded\nDisconnected\n");
         at != std::string::npos; at = console.find("Memory budget exceeded\n", at + 1)) {
        ++drops;
    }
    EXPECT_EQ(drops, 3u) << console;
}

TEST_F(LoadTest, IntakeIsBoundedTakenInTurnsAndLargeFramesCompleteOneAfterAnother) {
    std::vector<SocketHandle> heavy;
    std::string frames;
    for (int k = 0; k < 8; ++k) {
        frames += big;
    }
    for (int i = 0; i < 4; ++i) {
        heavy.push_back(Connect());
        fake.Feed(heavy.back(), frames);
    }
    SocketHandle light = Connect();
    SocketHandle observer = ConnectStalled();  // keeps every relayed frame queued
    std::vector<size_t> start;
    for (SocketHandle s : heavy) {
        start.push_back(Unreceived(s));
    }
    std::set<SocketHandle> firstReaders;
    for (int pass = 0; pass < 40; ++pass) {
        fake.Feed(light, Frame("@PING"));
        size_t before = 0;
        for (SocketHandle s : heavy) {
            before += Unreceived(s);
        }
        int queued = FindClient(observer)->output.Size();
        fake.recvLog.clear();
        Pass();
        size_t after = 0;
        for (SocketHandle s : heavy) {
            after += Unreceived(s);
        }
        EXPECT_LE(before - after, static_cast<size_t>(kIntakePerPass));
        EXPECT_EQ(Unreceived(light), 0u) << "pass " << pass;  // a short message is in at once
        // Never two large frames in one pass: readers get them spread out.
        EXPECT_LE(FindClient(observer)->output.Size() - queued, static_cast<int>(big.size()));
        ASSERT_FALSE(fake.recvLog.empty());
        firstReaders.insert(fake.recvLog.front());
    }
    EXPECT_EQ(firstReaders.size(), 5u);  // each pass starts with another reader
    for (size_t i = 0; i < heavy.size(); ++i) {
        EXPECT_GE(start[i] - Unreceived(heavy[i]), 2 * big.size()) << "sender " << i;
    }
}

// Real senders are bursty: a receive often finds less waiting than it may
// take. That must not let several half frames grow side by side and then
// land on the readers in a heap; nor may a trickling sender hold up others.
TEST_F(LoadTest, BurstySendersStillCompleteLargeFramesSpreadOutAndATrickleWaitsItsTurn) {
    std::vector<SocketHandle> bursty;
    for (int k = 0; k < 3; ++k) {
        bursty.push_back(Connect());
    }
    SocketHandle trickle = Connect();
    SocketHandle medium = Connect();
    SocketHandle reader = Connect();  // takes a full send every pass
    std::string trickled = Frame(std::string(16384, 't'));
    std::string got;
    int quiet = 0;
    int longestQuiet = 0;
    for (int pass = 0; pass < 160; ++pass) {
        for (SocketHandle s : bursty) {
            if (Unreceived(s) < big.size()) {
                for (size_t at = 0; at < big.size(); at += 20480) {
                    fake.Feed(s, big.substr(at, 20480));  // each less than a receive
                }
            }
        }
        if (static_cast<size_t>(pass) < trickled.size() / 512 + 1) {
            fake.Feed(trickle, trickled.substr(pass * 512u, 512));
        }
        if (pass == 40) {
            fake.Feed(medium, Frame(std::string(6000, 'd')));
        }
        Pass();
        if (pass == 41) {
            EXPECT_EQ(Unreceived(medium), 0u);  // a short message waits for no large one
        }
        EXPECT_LE(FindClient(reader)->output.Size(), static_cast<int>(big.size()) + 65536)
            << "pass " << pass;
        std::string sent = fake.TakeSent(reader);
        quiet = sent.empty() ? quiet + 1 : 0;
        longestQuiet = std::max(longestQuiet, quiet);
        got += sent;
    }
    size_t frames = 0;
    for (size_t at = got.find(big); at != std::string::npos; at = got.find(big, at + 1)) {
        ++frames;
    }
    EXPECT_GE(frames, 16u);
    // The trickle is served in turns of its own, never for long at a time:
    // the reader waits at most some 300 ms for the next large frame.
    EXPECT_LE(longestQuiet, 16);
    EXPECT_NE(got.find(trickled), std::string::npos);
}

TEST_F(LoadTest, StalledReaderIsDroppedAfter15sEvenWhileItTalks) {
    SocketHandle a = ConnectStalled();
    SocketHandle slow = Connect();
    fake.At(slow).sendLimit = 0;
    fake.Feed(a, Frame("hello"));  // relayed to both, taken by neither
    Pass(0);
    Console();
    for (int i = 0; i < 59; ++i) {
        if (i % 10 == 0) {
            fake.Feed(a, Frame("@PING"));
        }
        fake.At(slow).sendLimit = i % 40 == 39 ? 1 : 0;  // one byte in 10 s is progress
        Pass(250);
    }
    EXPECT_NE(FindClient(a), nullptr);
    Console();
    Pass(250);
    EXPECT_EQ(FindClient(a), nullptr);
    EXPECT_EQ(Console(), "TIMEOUT\nDisconnected\n");
    EXPECT_TRUE(fake.At(a).aborted);
    EXPECT_NE(FindClient(slow), nullptr);
}

}  // namespace
