// A client over its message rate is read no further until its credit
// returns; what it sent waits, wherever it waits, and goes on in order.
#include <memory>
#include <string>
#include <vector>

#include "holding_connection.h"
#include "server_fixture.h"

namespace {

constexpr double kRate = 10;  // messages a second
constexpr int kPassMs = 20;
constexpr int kMessages = 6;

class FloodTest : public ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        fake.reportReadiness = true;
        g_server.SetMessageRate(kRate, 1);
    }
    void TearDown() override {
        g_server.SetMessageRate(0, 0);
        ServerFixture::TearDown();
    }
};

std::string Message(int i) {
    return "m" + std::to_string(i);
}

TEST_F(FloodTest, HeldBackClientIsPacedAndLosesNothing) {
    const int frameBytes = static_cast<int>(Frame(Message(0)).size());
    const struct {
        const char* name;
        bool holding;  // its bytes wait in its connection, not in the socket
    } cases[] = {{"socket", false}, {"connection", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        SocketHandle flooder;
        if (c.holding) {
            ASSERT_TRUE(g_server.AddListener(
                0, 5001, std::unique_ptr<CConnectionMaker>(new HoldingMaker(2 * frameBytes))));
            flooder = fake.QueueConnectionOn(fake.LastListener());
            Pass(0);
        } else {
            flooder = Connect();
        }
        SocketHandle reader = Connect();
        // Two messages a receive: one within the credit, one beyond it.
        std::string all;
        for (int i = 0; i < kMessages; i += 2) {
            std::string two = Frame(Message(i)) + Frame(Message(i + 1));
            if (c.holding) {
                all += two;
            } else {
                fake.Feed(flooder, two);
            }
        }
        if (c.holding) {
            fake.Feed(flooder, all);  // drawn whole by its first receive
        }
        std::string got;
        const int passes = static_cast<int>(kMessages * 1000 / kRate / kPassMs) + 10;
        for (int p = 1; p <= passes; ++p) {
            Pass(kPassMs);
            got += fake.TakeSent(reader);
            // Never more than the burst and the credit come since.
            int most = 1 + static_cast<int>(p * kPassMs * kRate / 1000);
            EXPECT_LE(got.size(), static_cast<size_t>(most * frameBytes)) << "pass " << p;
        }
        std::string expected;
        for (int i = 0; i < kMessages; ++i) {
            expected += Frame(Message(i));
        }
        EXPECT_EQ(got, expected);
        // Read once per credit at most, however ready its socket was.
        EXPECT_LE(fake.At(flooder).recvCalls, kMessages + 1);
        EXPECT_EQ(Console().find("Message flood"), std::string::npos);
    }
}

// A limit lifted or changed live applies to a client held back now: what
// it kept goes on at once, not at the time the old rate would have given.
TEST_F(FloodTest, LiveChangeReachesAHeldBackClient) {
    const double slow = 1000.0 / (kMessages * 1000);  // one credit per kMessages seconds
    g_server.SetMessageRate(slow, 1);
    SocketHandle flooder = Connect();
    SocketHandle reader = Connect();
    std::string all;
    for (int i = 0; i < kMessages; ++i) {
        all += Frame(Message(i));
    }
    fake.Feed(flooder, all);
    Pass(kPassMs);
    Pass(kPassMs);
    EXPECT_EQ(fake.TakeSent(reader), Frame(Message(0)));
    g_server.SetMessageRate(0, 0);
    Pass(kPassMs);
    Pass(kPassMs);
    EXPECT_EQ(fake.TakeSent(reader), all.substr(Frame(Message(0)).size()));
}

}  // namespace
