// Who is let in: the token gate before the room, the address rules and the
// bounds at accept, and how many connections a pass takes.
#include <cstdio>
#include <string>
#include <vector>

#include "server/admission.h"
#include "server/option_values.h"
#include "server/settings.h"
#include "server/token_gate.h"
#include "server_fixture.h"

namespace {

std::uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d) {
    return (a << 24) | (b << 16) | (c << 8) | d;
}

class AccessTest : public ServerFixture {
  protected:
    void SetUp() override {
        saved_ = g_settings;
        ServerFixture::SetUp();
        path_ = ::testing::TempDir() + "tovrel_tokens_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    void TearDown() override {
        ServerFixture::TearDown();
        g_tokens.Clear();
        g_settings = saved_;
        std::remove(path_.c_str());
    }

    // Writes the token file and moves its stamp, as an edit would.
    void WriteTokens(const std::string& text) {
        std::FILE* f = std::fopen(path_.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
        CPlatform::FileStamp& stamp = fake.stamps[path_];
        stamp.size = static_cast<long long>(text.size());
        stamp.modified += 1;
    }
    void UseTokens(const std::string& text) {
        WriteTokens(text);
        std::string why;
        ASSERT_TRUE(g_tokens.Load(path_, &why)) << why;
    }
    SocketHandle ConnectFrom(std::uint32_t address) {
        SocketHandle s = fake.QueueConnection();
        fake.peers[s] = address;
        g_server.Update(0);
        return s;
    }
    // Relays `text` from a client that is in the room already.
    void Say(SocketHandle s, const std::string& text) {
        fake.Feed(s, Frame(text));
        Pass();
    }

    CSettings saved_;
    std::string path_;
};

TEST_F(AccessTest, NothingReachesAClientBeforeItsTokenNotEvenTheHistory) {
    UseTokens("alpha\nbeta\n");
    SocketHandle a = Connect();
    fake.Feed(a, Frame("@AUTH alpha"));
    Pass();
    Say(a, "old news");
    Pass();
    fake.TakeSent(a);

    SocketHandle b = Connect();
    Pass();
    EXPECT_EQ(fake.TakeSent(b), "");  // no history yet
    Say(a, "while b waits");
    EXPECT_EQ(fake.TakeSent(b), "");  // nor what is relayed
    fake.Feed(b, Frame("@AUTH beta") + Frame("hello"));
    Pass();
    Pass();
    // The history first, then what it said after its token, relayed.
    EXPECT_EQ(fake.TakeSent(b), Frame("old news") + Frame("while b waits") + Frame("hello"));
    EXPECT_EQ(fake.TakeSent(a), Frame("while b waits") + Frame("hello"));
}

TEST_F(AccessTest, WrongTokenOrAnotherFirstMessageEndsTheClientAndNothingIsRelayed) {
    UseTokens("alpha\n");
    SocketHandle a = Connect();
    fake.Feed(a, Frame("@AUTH alpha"));
    Pass();
    SocketHandle wrong = Connect();
    SocketHandle ping = Connect();
    SocketHandle text = Connect();
    Console();
    fake.Feed(wrong, Frame("@AUTH alphb") + Frame("sneaked in"));
    fake.Feed(ping, Frame("@PING"));
    fake.Feed(text, Frame("@AUTH"));  // no blank, no token: not an @AUTH
    Pass();
    Pass();
    std::string console = Console();
    EXPECT_NE(console.find("Wrong token\nDisconnected\n"), std::string::npos) << console;
    EXPECT_NE(console.find("No @AUTH first\nDisconnected\n"), std::string::npos) << console;
    EXPECT_EQ(console.find("@PING"), std::string::npos) << console;
    EXPECT_EQ(console.find("alph"), std::string::npos) << console;  // tokens are never printed
    EXPECT_TRUE(fake.IsClosed(wrong));
    EXPECT_TRUE(fake.IsClosed(ping));
    EXPECT_TRUE(fake.IsClosed(text));
    EXPECT_EQ(fake.TakeSent(ping), "");
    EXPECT_EQ(fake.TakeSent(a), "");
    EXPECT_EQ(ClientCount(), 1);
}

TEST_F(AccessTest, TokenIsDueWithinTheIdleTimeEvenFromAClientThatKeepsSending) {
    UseTokens("alpha\n");
    SocketHandle s = Connect();
    fake.Feed(s, LengthOnly(100));
    Pass(1000);
    // A frame trickled in byte by byte would renew an idle time; not this one.
    for (int i = 0; i < 13; ++i) {
        fake.Feed(s, "x");
        Pass(1000);
        ASSERT_FALSE(fake.IsClosed(s)) << i;
    }
    Console();
    fake.Feed(s, "x");
    Pass(1000);
    EXPECT_TRUE(fake.IsClosed(s));
    EXPECT_EQ(Console(), "TIMEOUT\nDisconnected\n");
}

TEST_F(AccessTest, AdmittedClientGetsAFullIdleTimeFromItsToken) {
    UseTokens("alpha\n");
    SocketHandle s = Connect();
    Pass(10000);
    fake.Feed(s, Frame("@AUTH alpha"));
    Pass(20);
    Pass(14000);
    EXPECT_FALSE(fake.IsClosed(s));
    Pass(1000);
    EXPECT_TRUE(fake.IsClosed(s));
}

TEST_F(AccessTest, ChangedFileIsReadAgainAndAMissingOrEmptyOneKeepsTheLastTokens) {
    UseTokens("old\n");
    WriteTokens("# rotated\nnew\n");
    Pass(2100);
    EXPECT_NE(Console().find("read again"), std::string::npos);
    SocketHandle revoked = Connect();
    fake.Feed(revoked, Frame("@AUTH old"));
    Pass();
    EXPECT_TRUE(fake.IsClosed(revoked));

    // Empty: one line, and "new" still works.
    WriteTokens("\n  \n");
    Pass(2100);
    EXPECT_NE(Console().find("holds no token; the last tokens read stay in force\n"),
              std::string::npos);
    SocketHandle kept = Connect();
    fake.Feed(kept, Frame("@AUTH new"));
    Pass();
    EXPECT_FALSE(fake.IsClosed(kept));

    // Gone after a good read: one line, then silence while it stays gone.
    WriteTokens("new\n");
    Pass(2100);
    fake.stamps.erase(path_);
    std::remove(path_.c_str());
    Console();
    for (int i = 0; i < 5; ++i) {
        Pass(2100);
    }
    std::string console = Console();
    EXPECT_NE(console.find("is missing; the last tokens read stay in force\n"), std::string::npos)
        << console;
    EXPECT_EQ(console.find("stay in force", console.find("stay in force") + 1), std::string::npos)
        << console;
    SocketHandle still = Connect();
    fake.Feed(still, Frame("@AUTH new"));
    Pass();
    EXPECT_FALSE(fake.IsClosed(still));
}

TEST_F(AccessTest, ClientsLetInWithARevokedTokenAreDroppedTheOthersStay) {
    UseTokens("old\nkeep\n");
    SocketHandle revoked = Connect();
    SocketHandle kept = Connect();
    fake.Feed(revoked, Frame("@AUTH old"));
    fake.Feed(kept, Frame("@AUTH keep"));
    Pass();
    Console();
    WriteTokens("keep\nnew\n");
    Pass(2100);
    Pass();
    EXPECT_TRUE(fake.IsClosed(revoked));
    EXPECT_FALSE(fake.IsClosed(kept));
    EXPECT_EQ(Console(), "Token file " + path_ + " read again\nToken revoked\nDisconnected\n");
}

TEST_F(AccessTest, FileIsLookedAtEveryFewSecondsNotEveryPass) {
    UseTokens("alpha\n");
    int before = fake.stampCalls;
    for (int i = 0; i < 100; ++i) {
        Pass(20);  // 2 s
    }
    EXPECT_LE(fake.stampCalls - before, 2);
    EXPECT_GE(fake.stampCalls - before, 1);
}

TEST(TokenGate, MissingOrEmptyFileAtStartIsRefused) {
    CTokenGate gate;
    std::string why;
    EXPECT_FALSE(gate.Load(::testing::TempDir() + "no_such_token_file", &why));
    EXPECT_EQ(why, "cannot be opened for reading");
    std::string empty = ::testing::TempDir() + "tovrel_empty_tokens";
    std::FILE* f = std::fopen(empty.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("# only a comment\n\n", f);
    std::fclose(f);
    EXPECT_FALSE(gate.Load(empty, &why));
    EXPECT_EQ(why, "holds no token");
    EXPECT_FALSE(gate.Active());
    std::remove(empty.c_str());
}

TEST(TokenGate, ComparesWholeTokens) {
    EXPECT_TRUE(SameSecret("abc", "abc", 3));
    EXPECT_FALSE(SameSecret("abc", "abcd", 4));
    EXPECT_FALSE(SameSecret("abcd", "abc", 3));
    EXPECT_FALSE(SameSecret("abc", "abd", 3));
    EXPECT_FALSE(SameSecret("abc", "", 0));
}

TEST(AddressRange, ParsesCidrAndRefusesWhatIsNotOne) {
    CAddressRange r;
    ASSERT_TRUE(ParseAddressRange("192.168.0.0/16", &r));
    EXPECT_TRUE(r.Contains(Ip(192, 168, 7, 9)));
    EXPECT_FALSE(r.Contains(Ip(192, 169, 0, 1)));
    ASSERT_TRUE(ParseAddressRange("10.1.2.3", &r));
    EXPECT_TRUE(r.Contains(Ip(10, 1, 2, 3)));
    EXPECT_FALSE(r.Contains(Ip(10, 1, 2, 4)));
    ASSERT_TRUE(ParseAddressRange("0.0.0.0/0", &r));
    EXPECT_TRUE(r.Contains(Ip(8, 8, 8, 8)));
    for (const char* bad : {"10.1.2.3/8", "10.0.0.0/33", "10.0.0.0/", "10.0.0/8", "::1", "",
                            "10.0.0.0/-1", "10.0.0.0/8x"}) {
        EXPECT_FALSE(ParseAddressRange(bad, &r)) << bad;
    }
}

TEST_F(AccessTest, DenyWinsAndARefusedConnectionIsClosedAtOnceAndCostsNoClient) {
    ASSERT_TRUE(ParseAddressRange("10.0.0.0/8", &g_settings.allow.emplace_back()));
    ASSERT_TRUE(ParseAddressRange("10.9.0.0/16", &g_settings.deny.emplace_back()));
    SocketHandle in = ConnectFrom(Ip(10, 1, 1, 1));
    SocketHandle denied = ConnectFrom(Ip(10, 9, 1, 1));
    SocketHandle outside = ConnectFrom(Ip(192, 168, 1, 1));
    EXPECT_FALSE(fake.IsClosed(in));
    EXPECT_TRUE(fake.At(denied).aborted);
    EXPECT_TRUE(fake.At(outside).aborted);
    EXPECT_EQ(ClientCount(), 1);
    std::string console = Console();
    EXPECT_EQ(console.find("New client connected"), console.rfind("New client connected"));
    EXPECT_NE(console.find("Connections refused (address not allowed): 1\n"), std::string::npos)
        << console;
}

TEST_F(AccessTest, RefusalsAreReportedAtMostOnceASecondPerReasonWithACount) {
    g_settings.maxPerAddress = 1;
    g_settings.maxClients = 2;
    ConnectFrom(Ip(10, 0, 0, 1));
    EXPECT_EQ(Console(), "New client connected\n");
    for (int i = 0; i < 10; ++i) {
        ConnectFrom(Ip(10, 0, 0, 1));
    }
    // The first at once; the rest wait for their second.
    EXPECT_EQ(Console(), "Connections refused (max-per-address): 1\n");
    ConnectFrom(Ip(10, 0, 0, 2));
    ConnectFrom(Ip(10, 0, 0, 3));  // over max-clients
    EXPECT_EQ(Console(), "New client connected\nConnections refused (max-clients): 1\n");
    Pass(500);
    EXPECT_EQ(Console(), "");
    Pass(500);
    EXPECT_EQ(Console(), "Connections refused (max-per-address): 9\n");
    Pass(1000);
    EXPECT_EQ(Console(), "");  // nothing new, nothing printed
}

TEST_F(AccessTest, CountsPerAddressFollowClientsThatLeave) {
    g_settings.maxPerAddress = 2;
    SocketHandle a1 = ConnectFrom(Ip(10, 0, 0, 1));
    SocketHandle a2 = ConnectFrom(Ip(10, 0, 0, 1));
    SocketHandle a3 = ConnectFrom(Ip(10, 0, 0, 1));
    SocketHandle b1 = ConnectFrom(Ip(10, 0, 0, 2));
    EXPECT_FALSE(fake.IsClosed(a2));
    EXPECT_TRUE(fake.IsClosed(a3));
    EXPECT_FALSE(fake.IsClosed(b1));
    fake.FeedCode(a1, 0);  // a1 leaves
    Pass();
    EXPECT_TRUE(fake.IsClosed(a1));
    SocketHandle a4 = ConnectFrom(Ip(10, 0, 0, 1));
    EXPECT_FALSE(fake.IsClosed(a4));
    EXPECT_EQ(ClientCount(), 3);
}

TEST_F(AccessTest, AcceptsPerPassTakesThatManyAndRefusalsDoNotUseThemUp) {
    g_settings.acceptsPerPass = 3;
    g_settings.maxPerAddress = 2;
    std::vector<SocketHandle> flood;
    for (int i = 0; i < 20; ++i) {
        SocketHandle s = fake.QueueConnection();
        fake.peers[s] = Ip(10, 0, 0, 1);
        flood.push_back(s);
    }
    std::vector<SocketHandle> honest;
    for (int i = 0; i < 4; ++i) {
        SocketHandle s = fake.QueueConnection();
        fake.peers[s] = Ip(10, 0, 0, 2 + i);
        honest.push_back(s);
    }
    Pass();
    // Two of the flood, then its refusals, then the first honest one.
    EXPECT_EQ(ClientCount(), 3);
    EXPECT_TRUE(fake.At(honest[0]).accepted);
    EXPECT_FALSE(fake.At(honest[1]).accepted);
    Pass();
    EXPECT_EQ(ClientCount(), 6);
    EXPECT_TRUE(fake.At(honest[3]).accepted);
}

}  // namespace
