#include <string>
#include <vector>

#include "server_fixture.h"

namespace {

class ServerTest : public ServerFixture {};

TEST_F(ServerTest, OpenListensWithABacklogForABurstAndReuse) {
    EXPECT_EQ(fake.boundPort, 5000);
    EXPECT_GE(fake.listenBacklog, 1000);
    EXPECT_TRUE(fake.reuseAddressSet);
    EXPECT_NE(g_server.listenSocket, INVALID_SOCKET);
}

TEST_F(ServerTest, FailedOpenLeavesNothingOpen) {
    SocketHandle first = g_server.listenSocket;
    fake.failBind = true;
    EXPECT_FALSE(g_server.Open(6000));
    EXPECT_TRUE(fake.IsClosed(first));  // reopening drops the previous listener
    EXPECT_EQ(g_server.listenSocket, INVALID_SOCKET);
    fake.failBind = false;
    fake.failListen = true;
    EXPECT_FALSE(g_server.Open(6000));
    EXPECT_EQ(g_server.listenSocket, INVALID_SOCKET);
    fake.failListen = false;
    fake.failNonBlocking = true;
    EXPECT_FALSE(g_server.Open(6000));
    fake.failNonBlocking = false;
    fake.failCreate = true;
    EXPECT_FALSE(g_server.Open(6000));
    EXPECT_EQ(g_server.listenSocket, INVALID_SOCKET);
}

TEST_F(ServerTest, AcceptsOneConnectionPerPassNewestFirst) {
    std::vector<SocketHandle> peers;
    for (int i = 0; i < 5; ++i) {
        peers.push_back(fake.QueueConnection());
    }
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(ClientCount(), i);
        Pass();
    }
    EXPECT_EQ(ClientCount(), 5);
    EXPECT_EQ(g_server.clients->Socket(), peers.back());
    EXPECT_EQ(g_server.clients->prev, nullptr);
    EXPECT_EQ(g_server.clients->next->prev, g_server.clients);
    std::string expected;
    for (int i = 0; i < 5; ++i) {
        expected += "New client connected\n";
    }
    EXPECT_EQ(Console(), expected);
}

TEST_F(ServerTest, SocketThatCannotBeMadeNonBlockingIsClosedSilently) {
    fake.failAcceptedNonBlocking = true;
    SocketHandle s = Connect();
    EXPECT_TRUE(fake.IsClosed(s));
    EXPECT_EQ(ClientCount(), 0);
    EXPECT_EQ(Console(), "");
}

TEST_F(ServerTest, ShutdownClosesEveryClientAndTheListener) {
    SocketHandle a = Connect();
    SocketHandle b = Connect();
    SocketHandle listener = g_server.listenSocket;
    Console();
    g_server.Shutdown();
    EXPECT_EQ(Console(), "Disconnected\nDisconnected\n");
    EXPECT_TRUE(fake.IsClosed(a));
    EXPECT_TRUE(fake.IsClosed(b));
    EXPECT_TRUE(fake.IsClosed(listener));
    EXPECT_EQ(g_server.clients, nullptr);
}

TEST_F(ServerTest, ClientInTheMiddleUnlinksCleanly) {
    SocketHandle a = Connect();
    SocketHandle b = Connect();
    SocketHandle c = Connect();
    fake.FeedCode(b, 0);
    Pass();
    ASSERT_EQ(ClientCount(), 2);
    EXPECT_EQ(g_server.clients->Socket(), c);
    EXPECT_EQ(g_server.clients->next->Socket(), a);
    EXPECT_EQ(g_server.clients->next->prev, g_server.clients);
}

TEST_F(ServerTest, LoopCapsElapsedTimeAndStopsOnTheFlag) {
    SocketHandle a = Connect();
    int passes = 0;
    fake.onSleep = [&](int ms) {
        EXPECT_EQ(ms, 20);
        ++passes;
        fake.now += 10000;  // a stalled pass: only 250 ms may count
        if (passes == 3) {
            g_quit.store(1);
        }
    };
    RunServerLoop();
    EXPECT_EQ(passes, 3);
    ASSERT_NE(FindClient(a), nullptr);
    // First pass sees 0 ms, the next two 250 ms each.
    EXPECT_EQ(FindClient(a)->IdleMs(), kIdleTimeoutMs - 500);
}

TEST_F(ServerTest, LoopSurvivesTheClockWrapping) {
    SocketHandle a = Connect();
    fake.now = 0xFFFFFFF0u;
    int passes = 0;
    fake.onSleep = [&](int) {
        fake.now += 32;
        if (++passes == 2) {
            g_quit.store(1);
        }
    };
    RunServerLoop();
    EXPECT_EQ(FindClient(a)->IdleMs(), kIdleTimeoutMs - 32);
}

TEST_F(ServerTest, LoopIsSkippedWhenAlreadyStopped) {
    g_quit.store(1);
    int passes = 0;
    fake.onSleep = [&](int) { ++passes; };
    RunServerLoop();
    EXPECT_EQ(passes, 0);
}

}  // namespace
