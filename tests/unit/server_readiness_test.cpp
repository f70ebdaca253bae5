// The server's per-pass readiness look: a client whose socket the look saw
// quiet is not received from, yet is served in every other way.
#include <string>

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
    EXPECT_EQ(client->idleMs, kIdleTimeoutMs - 250);
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
