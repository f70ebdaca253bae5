#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "server_fixture.h"

namespace {

namespace fs = std::filesystem;

int ProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(getpid());
#endif
}

// A new, empty folder that no other test shares, in this process or in
// another one started beside it (ctest -j): named after the process and a
// count, and made by this call (a name already taken is passed over).
fs::path MakeScratchDir() {
    static int count = 0;
    const std::string stem = "tovrel-fastcmd-" + std::to_string(ProcessId()) + "-";
    for (int attempt = 0; attempt < 1000; ++attempt) {
        fs::path dir = fs::temp_directory_path() / (stem + std::to_string(++count));
        if (fs::create_directory(dir)) {
            return dir;
        }
    }
    return {};
}

// Points the program directory at a fresh temporary folder holding the
// fast-command file for port 5000.
class FastCommandsTest : public ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        dir = MakeScratchDir();
        ASSERT_FALSE(dir.empty());
        std::string prefix = (dir / "").string();
        ASSERT_LT(prefix.size(), sizeof g_exeDir);
        std::snprintf(g_exeDir, sizeof g_exeDir, "%s", prefix.c_str());
        file = dir / "fastcmd5000.txt";
    }
    void TearDown() override {
        g_exeDir[0] = '\0';
        if (!dir.empty()) {
            fs::remove_all(dir);
        }
        ServerFixture::TearDown();
    }
    void WriteFile(const std::string& content) {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << content;
    }
    // Sends the request from `s` and returns what comes back after two passes.
    std::string Ask(SocketHandle s, const std::string& request = "@FASTCOMMANDS") {
        fake.Feed(s, Frame(request));
        Pass();
        Pass();
        return fake.TakeSent(s);
    }

    fs::path dir;
    fs::path file;
};

TEST_F(FastCommandsTest, FileIsSentByteForByteAfterTheHeadLine) {
    WriteFile("ab\r\ncdef\r\n");
    SocketHandle a = Connect();
    SocketHandle b = Connect();
    Console();
    std::string reply = Ask(a);
    EXPECT_EQ(reply, Frame("@FASTCOMMANDS\nab\r\ncdef\r\n"));
    EXPECT_EQ(reply.size(), 4u + 24u);
    EXPECT_EQ(fake.TakeSent(b), "");                // to the sender alone
    EXPECT_EQ(Console(), "");                       // prints nothing
    EXPECT_EQ(g_server.relay.history[0], nullptr);  // not kept
    EXPECT_EQ(fake.lastOpenedPath, file.string());
}

TEST_F(FastCommandsTest, MissingOrEmptyFileGivesNoReply) {
    SocketHandle a = Connect();
    EXPECT_EQ(Ask(a), "");
    WriteFile("");
    EXPECT_EQ(Ask(a), "");
    EXPECT_NE(FindClient(a), nullptr);
}

TEST_F(FastCommandsTest, ReplyEndsAtTheFirstNulOfTheFile) {
    WriteFile(std::string("12345\0after", 11));
    SocketHandle a = Connect();
    EXPECT_EQ(Ask(a), Frame("@FASTCOMMANDS\n12345"));
}

TEST_F(FastCommandsTest, LongFileIsCutAt19983Bytes) {
    WriteFile(std::string(30000, 'f'));
    SocketHandle a = Connect();
    std::string reply = Ask(a);
    EXPECT_EQ(reply, Frame("@FASTCOMMANDS\n" + std::string(19983, 'f')));
}

TEST_F(FastCommandsTest, FileIsReadAfreshForEachRequest) {
    WriteFile("first");
    SocketHandle a = Connect();
    EXPECT_EQ(Ask(a), Frame("@FASTCOMMANDS\nfirst"));
    WriteFile("second");
    EXPECT_EQ(Ask(a), Frame("@FASTCOMMANDS\nsecond"));
}

TEST_F(FastCommandsTest, OnlyTheExactTextIsTheRequest) {
    WriteFile("x");
    SocketHandle a = Connect();
    EXPECT_EQ(Ask(a, std::string("@FASTCOMMANDS\0junk", 18)), Frame("@FASTCOMMANDS\nx"));
    EXPECT_EQ(Ask(a, "@FASTCOMMANDS\n"), Frame("@FASTCOMMANDS\n"));  // relayed as text
    EXPECT_EQ(Ask(a, "@fastcommands"), Frame("@fastcommands"));
    EXPECT_STREQ(g_server.relay.history[0], "@fastcommands");
}

TEST_F(FastCommandsTest, ReplyQueuesBehindPendingOutput) {
    WriteFile("cmds");
    SocketHandle a = Connect();
    fake.At(a).sendResult = kIoWouldBlock;
    fake.Feed(a, Frame("hello") + Frame("@FASTCOMMANDS"));
    Pass();
    fake.At(a).sendResult = 0;
    Pass();
    EXPECT_EQ(fake.TakeSent(a), Frame("hello") + Frame("@FASTCOMMANDS\ncmds"));
}

TEST_F(FastCommandsTest, FileNameUsesTheServedPort) {
    ASSERT_TRUE(g_server.Open(4464));
    SocketHandle a = Connect();
    Ask(a);
    EXPECT_EQ(fake.lastOpenedPath, (dir / "fastcmd4464.txt").string());
}

}  // namespace
