// The entry point: the port argument, the program directory, and start-up
// up to the loop on the fake platform.
#include <string>
#include <vector>

#include "server/app.h"
#include "server/option_values.h"
#include "server_fixture.h"

namespace {

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

TEST(PortText, EachSyntaxNamesAPortOrNone) {
    const std::string max = std::to_string(kMaxPort);
    const std::string pastMax = std::to_string(kMaxPort + 1);
    const struct {
        std::string text;
        PortSyntax syntax;
        int port;
    } cases[] = {
        {"80", PortSyntax::kDigits, 80},
        {"00080", PortSyntax::kDigits, 80},
        {max, PortSyntax::kDigits, kMaxPort},
        {pastMax, PortSyntax::kDigits, 0},
        {"0", PortSyntax::kDigits, 0},
        {"", PortSyntax::kDigits, 0},
        {"000080", PortSyntax::kDigits, 0},  // more digits than any port needs
        {"+80", PortSyntax::kDigits, 0},
        {" 80", PortSyntax::kDigits, 0},
        {"80x", PortSyntax::kDigits, 0},
        {"-1", PortSyntax::kDigits, 0},
        {" 5000abc", PortSyntax::kLeading, 5000},
        {"+42x", PortSyntax::kLeading, 42},
        {"000080", PortSyntax::kLeading, 80},
        {max, PortSyntax::kLeading, kMaxPort},
        {pastMax, PortSyntax::kLeading, 0},
        {"0", PortSyntax::kLeading, 0},
        {"-1", PortSyntax::kLeading, 0},
        {"abc", PortSyntax::kLeading, 0},
        {"99999999999999999999", PortSyntax::kLeading, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParsePort(c.text, c.syntax), c.port)
            << '"' << c.text << "\" as "
            << (c.syntax == PortSyntax::kDigits ? "digits" : "leading");
    }
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
        g_drainRequested.store(0);
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
    fake.onSleep = [&](int) { fake.stopHandler(StopRequest::kNow); };
    EXPECT_EQ(Run({"/srv/tovrel", "65535", "ignored"}), 0);
    EXPECT_EQ(out, "/srv/\nServer is open at port 65535\n");
    EXPECT_EQ(fake.boundPort, 65535);
    EXPECT_EQ(err, "");
}

}  // namespace
