#include <cstdio>
#include <string>
#include <vector>

#include "server/app.h"
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
    EXPECT_EQ(g_server.clients->socket, peers.back());
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
    EXPECT_EQ(g_server.clients->socket, c);
    EXPECT_EQ(g_server.clients->next->socket, a);
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
    EXPECT_EQ(FindClient(a)->idleMs, kIdleTimeoutMs - 500);
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
    EXPECT_EQ(FindClient(a)->idleMs, kIdleTimeoutMs - 32);
}

TEST_F(ServerTest, LoopIsSkippedWhenAlreadyStopped) {
    g_quit.store(1);
    int passes = 0;
    fake.onSleep = [&](int) { ++passes; };
    RunServerLoop();
    EXPECT_EQ(passes, 0);
}

TEST(PortArgument, ParsesLikeAtoi) {
    EXPECT_EQ(ParsePortArgument("5000"), 5000);
    EXPECT_EQ(ParsePortArgument("  \t5000"), 5000);
    EXPECT_EQ(ParsePortArgument("+42x"), 42);
    EXPECT_EQ(ParsePortArgument("-1"), -1);
    EXPECT_EQ(ParsePortArgument("abc"), 0);
    EXPECT_EQ(ParsePortArgument(""), 0);
    EXPECT_EQ(ParsePortArgument("- 5"), 0);
    EXPECT_EQ(ParsePortArgument("99999999999999999999"), 2147483647);
    EXPECT_EQ(ParsePortArgument("-99999999999999999999"), -2147483647 - 1);
}

TEST(ExeDir, KeepsTheDirectoryWithItsSeparator) {
    ASSERT_TRUE(SetExeDir("/opt/tovrel/bin/tovrel"));
    EXPECT_STREQ(g_exeDir, "/opt/tovrel/bin/");
    ASSERT_TRUE(SetExeDir("C:\\srv\\tovrel.exe"));
    EXPECT_STREQ(g_exeDir, "C:\\srv\\");
    ASSERT_TRUE(SetExeDir("tovrel"));
    EXPECT_STREQ(g_exeDir, "");
}

TEST(ExeDir, LongProgramNameInAShortDirectoryIsFine) {
    std::string path = "/d/" + std::string(400, 'n');
    ASSERT_TRUE(SetExeDir(path.c_str()));
    EXPECT_STREQ(g_exeDir, "/d/");
}

TEST(ExeDir, DirectoryLongerThan255IsRefused) {
    std::string fits = "/" + std::string(253, 'd') + "/x";  // directory of 255 characters
    EXPECT_TRUE(SetExeDir(fits.c_str()));
    EXPECT_EQ(std::string(g_exeDir).size(), 255u);
    std::string tooLong = "/" + std::string(254, 'd') + "/x";
    EXPECT_FALSE(SetExeDir(tooLong.c_str()));
}

// The entry point, up to the loop, on the fake platform.
class MainTest : public ::testing::Test {
  protected:
    void SetUp() override { SetPlatform(&fake); }
    void TearDown() override {
        g_server.Shutdown();
        g_quit.store(0);
        SetPlatform(nullptr);
    }
    int Run(std::vector<std::string> args) {
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(&a[0]);
        }
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        int status = TovrelMain(static_cast<int>(argv.size()), argv.data());
        out = ::testing::internal::GetCapturedStdout();
        err = ::testing::internal::GetCapturedStderr();
        return status;
    }
    FakePlatform fake;
    std::string out, err;
};

TEST_F(MainTest, MissingArgumentPrintsUsage) {
    EXPECT_EQ(Run({"/srv/tovrel"}), 1);
    EXPECT_EQ(err, "Usage: tovrel <port>\n");
    EXPECT_EQ(out, "");
    EXPECT_NE(fake.stopHandler, nullptr);
    EXPECT_TRUE(fake.networkStarted);
}

TEST_F(MainTest, PortsOutsideTheTcpRangeAreRefused) {
    for (const char* port : {"0", "abc", "70000", "65536", "-1"}) {
        EXPECT_EQ(Run({"/srv/tovrel", port}), 1) << port;
        EXPECT_EQ(out, "/srv/\n") << port;
        EXPECT_EQ(err, "Invalid port!\n") << port;
        EXPECT_EQ(fake.boundPort, -1) << port;
    }
}

TEST_F(MainTest, FailedOpenIsReportedWithTheParsedPort) {
    fake.failBind = true;
    EXPECT_EQ(Run({"tovrel", " 4321abc"}), 1);
    EXPECT_EQ(out, "\n");
    EXPECT_EQ(err, "Can't open serevr at port 4321!\n");
}

TEST_F(MainTest, TooLongProgramDirectoryStopsBeforeTheDirectoryLine) {
    std::string path = "/" + std::string(300, 'd') + "/tovrel";
    EXPECT_EQ(Run({path, "5000"}), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "Program path too long!\n");
}

TEST_F(MainTest, StopRequestEndsTheLoopWithStatusZero) {
    fake.onSleep = [&](int) { fake.stopHandler(); };
    EXPECT_EQ(Run({"/srv/tovrel", "65535", "ignored"}), 0);
    EXPECT_EQ(out, "/srv/\nServer is open at port 65535\n");
    EXPECT_EQ(fake.boundPort, 65535);
    EXPECT_EQ(err, "");
}

}  // namespace
