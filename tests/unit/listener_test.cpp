#include <cstdio>
#include <memory>
#include <string>

#include "connection/tcp_connection.h"
#include "server/token_gate.h"
#include "server_fixture.h"

namespace {

// A connection with a handshake of its own: established once the peer has
// sent "HELLO", which the handshake consumes.
class HandshakeConnection final : public CConnection {
  public:
    explicit HandshakeConnection(SocketHandle s) : tcp_(s) {}
    SocketHandle Socket() const override { return tcp_.Socket(); }
    int Receive(void* buffer, int length) override {
        if (established_) {
            return tcp_.Receive(buffer, length);
        }
        char hello[5];
        int got = tcp_.Receive(hello, sizeof hello);
        if (got <= 0) {
            return got;
        }
        if (std::string(hello, static_cast<size_t>(got)) != "HELLO") {
            return kIoError;
        }
        established_ = true;
        return kIoWouldBlock;
    }
    int Send(const SendSlice* slices, int count) override { return tcp_.Send(slices, count); }
    void Close(bool discard) override { tcp_.Close(discard); }
    const CEncoding& Encoding() const override { return tcp_.Encoding(); }
    bool Established() const override { return established_; }

  private:
    CTcpConnection tcp_;
    bool established_ = false;
};

class HandshakeMaker final : public CConnectionMaker {
  public:
    std::unique_ptr<CConnection> Make(SocketHandle accepted, CHandshakeBudget&) override {
        return std::unique_ptr<CConnection>(new HandshakeConnection(accepted));
    }
    ListenerKind Kind() const override { return ListenerKind::kTcp; }
};

class ListenerTest : public ServerFixture {};

// A second listener's clients share the room, but one whose handshake is
// under way gets neither the history nor what is relayed until it is done;
// then the history comes first, oldest first.
TEST_F(ListenerTest, HandshakingClientJoinsTheRoomOnlyOnceEstablished) {
    ASSERT_TRUE(
        g_server.AddListener(0, 5001, std::unique_ptr<CConnectionMaker>(new HandshakeMaker)));
    SocketHandle second = fake.LastListener();
    EXPECT_EQ(fake.boundPort, 5001);
    SocketHandle plain = Connect();
    fake.Feed(plain, Frame("one"));
    Pass();
    SocketHandle shaking = fake.QueueConnectionOn(second);
    Pass();
    ASSERT_NE(FindClient(shaking), nullptr);
    fake.Feed(plain, Frame("two"));
    Pass();
    Pass();
    EXPECT_EQ(fake.TakeSent(shaking), "");
    EXPECT_EQ(fake.TakeSent(plain), Frame("one") + Frame("two"));

    fake.Feed(shaking, "HELLO");
    Pass();
    Pass();
    EXPECT_EQ(fake.TakeSent(shaking), Frame("one") + Frame("two"));
    fake.Feed(shaking, Frame("three"));
    Pass();
    Pass();
    EXPECT_EQ(fake.TakeSent(shaking), Frame("three"));
    EXPECT_EQ(fake.TakeSent(plain), Frame("three"));

    g_server.Shutdown();
    EXPECT_TRUE(fake.IsClosed(second));
}

// A handshake has 10 s; once done, the idle time-out counts from then.
TEST_F(ListenerTest, HandshakeHasItsOwnTimeOutThenTheIdleOneCounts) {
    ASSERT_TRUE(
        g_server.AddListener(0, 5001, std::unique_ptr<CConnectionMaker>(new HandshakeMaker)));
    SocketHandle second = fake.LastListener();
    SocketHandle stuck = fake.QueueConnectionOn(second);
    SocketHandle late = fake.QueueConnectionOn(second);
    Pass(0);
    Pass(0);
    Console();
    for (int ms = 0; ms < kHandshakeTimeoutMs - 1000; ms += 100) {
        Pass(100);
    }
    fake.Feed(late, "HELLO");
    Pass(100);
    EXPECT_EQ(Console(), "");
    for (int ms = 0; ms < 1000; ms += 100) {
        Pass(100);
    }
    EXPECT_EQ(FindClient(stuck), nullptr);
    EXPECT_EQ(Console(), "TIMEOUT\nDisconnected\n");
    ASSERT_NE(FindClient(late), nullptr);
    EXPECT_GT(FindClient(late)->IdleMs(), kIdleTimeoutMs - 2000);
}

// With tokens, a finished handshake is not yet the room: the client owes its
// "@AUTH" within the idle time, counted from the end of the handshake.
TEST_F(ListenerTest, HandshakeDoneStillOwesItsToken) {
    std::string path = ::testing::TempDir() + "tovrel_listener_tokens";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("alpha\n", f);
    std::fclose(f);
    fake.stamps[path] = CPlatform::FileStamp{6, 1, 1, 1};
    std::string why;
    ASSERT_TRUE(g_tokens.Load(path, &why)) << why;
    ASSERT_TRUE(
        g_server.AddListener(0, 5001, std::unique_ptr<CConnectionMaker>(new HandshakeMaker)));
    SocketHandle second = fake.LastListener();
    SocketHandle plain = Connect();
    fake.Feed(plain, Frame("@AUTH alpha") + Frame("one"));
    Pass();
    SocketHandle late = fake.QueueConnectionOn(second);
    SocketHandle quick = fake.QueueConnectionOn(second);
    Pass();
    Pass();
    Pass(8000);
    fake.Feed(late, "HELLO");
    fake.Feed(quick, "HELLO");
    Pass();
    Pass();
    EXPECT_EQ(fake.TakeSent(late), "");  // established, but no token yet
    fake.Feed(quick, Frame("@AUTH alpha"));
    Pass();
    Pass();
    EXPECT_EQ(fake.TakeSent(quick), Frame("one"));
    // 15 s from the handshake's end, not 10 s from the accept.
    Pass(14000);
    EXPECT_FALSE(fake.IsClosed(late));
    Pass(1000);
    EXPECT_TRUE(fake.IsClosed(late));
    EXPECT_EQ(fake.TakeSent(late), "");

    g_server.Shutdown();
    g_tokens.Clear();
    std::remove(path.c_str());
}

}  // namespace
