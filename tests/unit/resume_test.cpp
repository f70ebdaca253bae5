#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "server_fixture.h"

namespace {

// The payloads of the whole frames in `bytes` (what one client was sent).
std::vector<std::string> Payloads(const std::string& bytes) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at + 4 <= bytes.size()) {
        std::uint32_t length = 0;
        std::memcpy(&length, bytes.data() + at, 4);
        EXPECT_LE(at + 4 + length, bytes.size()) << "half a frame sent";
        out.push_back(bytes.substr(at + 4, length));
        at += 4 + length;
    }
    return out;
}

char* HeapText(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

// A large window replayed to many clients at once.
class ResumeReplayTest : public ServerFixture {
  protected:
    static constexpr std::size_t kWindow = 20000;
    static constexpr int kClients = 100;
    // Kept before the resumes; the messages relayed during them fit in the
    // rest of the window, so none is pushed out.
    static constexpr std::size_t kKept = kWindow - 1000;

    void SetUp() override {
        ServerFixture::SetUp();
        g_server.relay.EnableResume(kWindow, fake.wallMs, g_server.memory);
    }
    void TearDown() override {
        ServerFixture::TearDown();
        g_server.relay.EnableResume(0, 0, g_server.memory);
    }

    // The tagged text a lone server sends for its `minor`th message.
    std::string Tagged(std::uint64_t minor, const std::string& text) const {
        return std::to_string(fake.wallMs) + "-" + std::to_string(minor) + " " + text;
    }
};

TEST_F(ResumeReplayTest, WholeWindowToManyClientsIsBoundedPerPassAndExact) {
    std::vector<std::string> relayed;
    for (std::size_t i = 1; i <= kKept; ++i) {
        relayed.push_back("m" + std::to_string(i));
        g_server.relay.Broadcast(HeapText(relayed.back()));
    }
    std::vector<SocketHandle> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(Connect());
    }
    Pass();
    for (SocketHandle c : clients) {
        fake.TakeSent(c);  // the history every newcomer gets
        // From before the first message: everything kept is asked for.
        fake.Feed(c, Frame("@RESUME " + std::to_string(fake.wallMs) + "-0"));
    }
    // What each client was sent from its resume on, and whether it has
    // its "@RESUMED".
    std::vector<std::vector<std::string>> got(kClients);
    std::vector<bool> done(kClients, false);
    int finished = 0;
    int live = 0;
    // One pass, and what it sent: within the replay's shares.
    auto passAndCollect = [&]() {
        Pass();
        std::size_t replayedThisPass = 0;
        for (int i = 0; i < kClients; ++i) {
            std::size_t replayed = 0;
            for (std::string& payload : Payloads(fake.TakeSent(clients[i]))) {
                if (payload.compare(0, 9, "@RESUMED ") == 0) {
                    EXPECT_FALSE(done[i]);
                    done[i] = true;
                    ++finished;
                } else if (!done[i]) {
                    ++replayed;
                }
                got[i].push_back(payload);
            }
            EXPECT_LE(replayed, static_cast<std::size_t>(kReplayFramesPerTurn));
            replayedThisPass += replayed;
        }
        EXPECT_LE(replayedThisPass, static_cast<std::size_t>(kReplayFramesPerPass));
    };
    for (int pass = 0; finished < kClients && pass < 1000; ++pass) {
        // Messages relayed while replays go on.
        if (pass % 7 == 3) {
            relayed.push_back("live" + std::to_string(live++));
            fake.Feed(clients[pass % kClients], Frame(relayed.back()));
        }
        passAndCollect();
    }
    // And one after they are done, sent live.
    relayed.push_back("after");
    fake.Feed(clients[0], Frame(relayed.back()));
    passAndCollect();
    passAndCollect();
    ASSERT_EQ(finished, kClients);
    ASSERT_GT(live, 0);
    // Every relayed message once, tagged, in order; the "@RESUMED" right
    // after the replayed ones, with their count.
    for (int i = 0; i < kClients; ++i) {
        std::vector<std::string> expected;
        std::size_t resumedAt = 0;
        for (std::size_t k = 0; k < got[i].size(); ++k) {
            if (got[i][k].compare(0, 9, "@RESUMED ") == 0) {
                resumedAt = k;
            } else {
                expected.push_back(got[i][k]);
            }
        }
        ASSERT_EQ(expected.size(), relayed.size()) << "client " << i;
        for (std::size_t k = 0; k < relayed.size(); ++k) {
            ASSERT_EQ(expected[k], Tagged(k + 1, relayed[k])) << "client " << i << ", " << k;
        }
        EXPECT_EQ(got[i][resumedAt], "@RESUMED " + std::to_string(fake.wallMs) + "-" +
                                         std::to_string(resumedAt) + " " +
                                         std::to_string(resumedAt) + " 0");
    }
}

TEST_F(ResumeReplayTest, AResumeBeforeTheRoomsHistoryIsAnsweredOnceItComes) {
    g_server.relay.AwaitHistory();
    SocketHandle c = Connect();
    fake.Feed(c, Frame("@RESUME 1765360000000-1"));
    Pass();
    Pass();
    EXPECT_EQ(fake.TakeSent(c), "");
    // The stream's entries, oldest first, with their ids.
    const std::vector<std::string> texts = {"a", "b", "c", "d"};
    const char* const positions[] = {"1765360000000-0", "1765360000000-1", "1765360000005-0",
                                     "1765360000007-3"};
    std::vector<char*> messages;
    for (const std::string& text : texts) {
        messages.push_back(HeapText(text));
    }
    g_server.relay.SetHistory(messages.data(), positions, messages.size());
    Pass();
    Pass();
    std::vector<std::string> expected(texts.end() - kHistoryLength, texts.end());
    expected.push_back(std::string(positions[2]) + " c");
    expected.push_back(std::string(positions[3]) + " d");
    expected.push_back("@RESUMED " + std::string(positions[3]) + " 2 0");
    EXPECT_EQ(Payloads(fake.TakeSent(c)), expected);
}

}  // namespace
