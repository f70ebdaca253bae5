// The server's per-pass readiness look: a client whose socket the look saw
// quiet is not received from, yet is served in every other way.
#include <string>
#include <vector>

#include "server_fixture.h"

namespace {

class ReadinessTest : public ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        fake.reportReadiness = true;
    }
};

TEST_F(ReadinessTest, OneLookPerPass) {
    Connect();
    Connect();
    int before = fake.readinessLooks;
    Pass();
    Pass();
    Pass();
    EXPECT_EQ(fake.readinessLooks, before + 3);
}

TEST_F(ReadinessTest, QuietClientIsNotReceivedFrom) {
    SocketHandle a = Connect();
    for (int i = 0; i < 5; ++i) {
        Pass();
    }
    EXPECT_EQ(fake.At(a).recvCalls, 0);
    fake.Feed(a, Frame("hi"));
    Pass();
    EXPECT_EQ(fake.At(a).recvCalls, 1);
    Pass();
    EXPECT_EQ(fake.At(a).recvCalls, 1);
    EXPECT_EQ(fake.TakeSent(a), Frame("hi"));
}

TEST_F(ReadinessTest, ClientAcceptedInThePassIsLookedAt) {
    SocketHandle a = fake.QueueConnection();
    fake.Feed(a, Frame("early"));
    Pass();  // accepts a, looks, and reads what it sent before it was accepted
    EXPECT_EQ(fake.At(a).recvCalls, 1);
    ASSERT_NE(g_server.relay.history[0], nullptr);
    EXPECT_STREQ(g_server.relay.history[0], "early");
}

TEST_F(ReadinessTest, SkippedClientStillGetsItsOutput) {
    SocketHandle a = Connect();
    SocketHandle b = Connect();
    fake.At(b).sendLimit = 3;  // a slow reader: its output takes several passes
    fake.Feed(a, Frame("hello"));
    for (int i = 0; i < 4; ++i) {
        Pass();
    }
    EXPECT_EQ(fake.At(b).recvCalls, 0);
    EXPECT_EQ(fake.TakeSent(b), Frame("hello"));
}

TEST_F(ReadinessTest, SkippedClientStillTimesOut) {
    SocketHandle a = Connect();
    Pass(0);
    CClient* client = FindClient(a);
    ASSERT_NE(client, nullptr);
    Pass(250);
    EXPECT_EQ(client->IdleMs(), kIdleTimeoutMs - 250);
    Console();
    for (int elapsed = 250; elapsed < kIdleTimeoutMs; elapsed += 250) {
        Pass(250);
    }
    EXPECT_EQ(fake.At(a).recvCalls, 0);
    EXPECT_TRUE(fake.IsClosed(a));
    EXPECT_EQ(Console(), "TIMEOUT\nDisconnected\n");
}

TEST_F(ReadinessTest, CloseAndErrorAreSeenByTheLook) {
    SocketHandle a = Connect();
    SocketHandle b = Connect();
    Pass();
    Console();
    fake.FeedCode(a, 0);
    fake.FeedCode(b, kIoError);
    Pass();
    EXPECT_TRUE(fake.IsClosed(a));
    EXPECT_TRUE(fake.IsClosed(b));
    EXPECT_EQ(Console(), "Disconnected\nDisconnected\n");
    EXPECT_EQ(ClientCount(), 0);
}

}  // namespace

namespace {

// Thousands of clients, each accepted in its own pass and some pinging now
// and then, under passes of uneven length: each must time out in exactly
// the pass in which a countdown lowered by every pass's elapsed time (from
// its accept, or from the pass after its last message) reaches zero.
TEST_F(ReadinessTest, EveryTimeOutFiresInItsPassAmongThousands) {
    const int kClients = 3000;
    const int kSteps[] = {20, 0, 250, 7, 33, 1, 16, 149, 20, 250, 3};
    std::vector<SocketHandle> peers;
    std::vector<long long> left;  // the model's countdown per client
    std::vector<int> expectedPass(kClients, -1), closedPass(kClients, -1);
    int pass = 0;
    while (true) {
        ++pass;
        int elapsed = kSteps[(pass * 7) % (sizeof kSteps / sizeof kSteps[0])];
        if (static_cast<int>(peers.size()) < kClients) {
            peers.push_back(fake.QueueConnection());
            left.push_back(kIdleTimeoutMs);
        }
        // Some clients ping, on a staggered plan, while they live.
        for (size_t i = 0; i < peers.size(); i += 97) {
            if (expectedPass[i] < 0 && (pass + static_cast<int>(i)) % 400 == 0) {
                fake.Feed(peers[i], Frame("@PING"));
            }
        }
        std::vector<bool> pinged(peers.size());
        for (size_t i = 0; i < peers.size(); ++i) {
            pinged[i] = !fake.At(peers[i]).inbound.empty();
        }
        Pass(elapsed);
        bool open = false;
        for (size_t i = 0; i < peers.size(); ++i) {
            if (expectedPass[i] >= 0) {
                continue;
            }
            // Lowered in every pass; a message sets it back to full after.
            left[i] -= elapsed;
            if (left[i] <= 0) {
                expectedPass[i] = pass;
            } else if (pinged[i]) {
                left[i] = kIdleTimeoutMs;
            }
            if (closedPass[i] < 0 && fake.IsClosed(peers[i])) {
                closedPass[i] = pass;
            }
            open = open || expectedPass[i] < 0;
        }
        for (size_t i = 0; i < peers.size(); ++i) {
            if (closedPass[i] < 0 && fake.IsClosed(peers[i])) {
                closedPass[i] = pass;
            }
        }
        if (!open && static_cast<int>(peers.size()) == kClients) {
            break;
        }
    }
    int mismatches = 0;
    for (int i = 0; i < kClients; ++i) {
        if (closedPass[i] != expectedPass[i] && ++mismatches <= 5) {
            ADD_FAILURE() << "client " << i << " closed in pass " << closedPass[i]
                          << ", its countdown ends in pass " << expectedPass[i];
        }
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(ClientCount(), 0);
}

}  // namespace

namespace {

// What one run of a busy room did to each client: the pass it was closed
// in and every byte it was sent.
struct RoomRun {
    std::vector<int> closedPass;
    std::vector<std::string> received;
};

// Hundreds of clients under passes of uneven length, relaying and pinging on
// a staggered plan, so that relayed output freezes the idle time of clients
// on both sides of the sender in the round.
RoomRun RunBusyRoom(bool reportReadiness) {
    FakePlatform fake;
    fake.reportReadiness = reportReadiness;
    SetPlatform(&fake);
    EXPECT_TRUE(g_server.Open(5000));
    const int kClients = 240;
    const int kSteps[] = {20, 0, 250, 7, 33, 1, 16, 149, 20, 250, 3};
    std::vector<SocketHandle> peers;
    RoomRun run;
    run.closedPass.assign(kClients, -1);
    run.received.assign(kClients, std::string());
    for (int pass = 1; pass < 2600; ++pass) {
        if (static_cast<int>(peers.size()) < kClients) {
            peers.push_back(fake.QueueConnection());
        }
        for (size_t i = 0; i < peers.size(); ++i) {
            if (run.closedPass[i] >= 0) {
                continue;
            }
            int plan = (pass * 13 + static_cast<int>(i) * 29) % 997;
            if (plan == 0 && i % 3 == 0) {
                fake.Feed(peers[i], Frame("m" + std::to_string(i)));
            } else if (plan == 1 && i % 5 == 1) {
                fake.Feed(peers[i], Frame("@PING"));
            }
        }
        g_server.Update(kSteps[(pass * 7) % (sizeof kSteps / sizeof kSteps[0])]);
        for (size_t i = 0; i < peers.size(); ++i) {
            run.received[i] += fake.TakeSent(peers[i]);
            if (run.closedPass[i] < 0 && fake.IsClosed(peers[i])) {
                run.closedPass[i] = pass;
            }
        }
    }
    g_server.Shutdown();
    SetPlatform(nullptr);
    return run;
}

// A pass that visits only the clients with something to do must do exactly
// what a pass that visits everyone does.
TEST(ReadinessRoomTest, VisitingOnlyTheDueDoesWhatVisitingEveryoneDoes) {
    SetConsoleSink([](const char*) {});
    g_server.relay.ClearHistory();
    RoomRun everyone = RunBusyRoom(false);
    g_server.relay.ClearHistory();
    RoomRun due = RunBusyRoom(true);
    g_server.relay.ClearHistory();
    SetConsoleSink(nullptr);
    int timedOut = 0;
    for (size_t i = 0; i < everyone.closedPass.size(); ++i) {
        EXPECT_EQ(due.closedPass[i], everyone.closedPass[i]) << "client " << i;
        EXPECT_EQ(due.received[i], everyone.received[i]) << "client " << i;
        timedOut += everyone.closedPass[i] >= 0 ? 1 : 0;
    }
    EXPECT_GT(timedOut, 100);  // the plan leaves many to time out
}

}  // namespace
