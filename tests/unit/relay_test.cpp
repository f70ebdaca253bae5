#include <cstring>
#include <string>

#include "server_fixture.h"
#include "stream/heap.h"

namespace {

class RelayTest : public ServerFixture {};

TEST_F(RelayTest, FrameSplitOverReceivesIsAssembledAndResetsIdle) {
    SocketHandle a = Connect();
    std::string frame = Frame("hello");
    fake.Feed(a, frame.substr(0, 2));
    Pass(1000);
    EXPECT_EQ(FindClient(a)->IdleMs(), kIdleTimeoutMs);
    fake.Feed(a, frame.substr(2, 4));
    Pass(1000);
    EXPECT_EQ(fake.TakeSent(a), "");
    fake.Feed(a, frame.substr(6));
    Pass();
    Pass();
    EXPECT_EQ(fake.TakeSent(a), frame);
}

TEST_F(RelayTest, CoalescedFramesAreAllHandledInOnePassInOrder) {
    SocketHandle a = Connect();
    SocketHandle b = Connect();
    fake.Feed(a, Frame("one") + Frame("two") + Frame("three") + LengthOnly(10) + "part");
    Pass();
    Pass();
    EXPECT_EQ(fake.TakeSent(b), Frame("one") + Frame("two") + Frame("three"));
    ASSERT_STREQ(g_server.relay.history[0], "three");
    EXPECT_STREQ(g_server.relay.history[2], "one");
    EXPECT_EQ(FindClient(a)->Input().Size(), 8);  // the partial frame waits at the front
}

TEST_F(RelayTest, OrdinaryTextReachesEveryClientIncludingTheSender) {
    SocketHandle a = Connect();
    SocketHandle b = Connect();
    SocketHandle c = Connect();
    fake.Feed(b, Frame("hello"));
    Pass();
    Pass();
    std::string expected("\x05\x00\x00\x00hello", 9);
    EXPECT_EQ(fake.TakeSent(a), expected);
    EXPECT_EQ(fake.TakeSent(b), expected);
    EXPECT_EQ(fake.TakeSent(c), expected);
    EXPECT_EQ(Console(), "New client connected\nNew client connected\nNew client connected\n");
}

TEST_F(RelayTest, LengthLimitsAreEnforced) {
    SocketHandle a = Connect();
    std::string big(131072, 'x');
    fake.Feed(a, Frame(big));
    for (int i = 0; i < 8; ++i) {  // 32768 bytes received a pass, then two sends
        Pass();
    }
    EXPECT_EQ(fake.TakeSent(a), Frame(big));
    Console();

    SocketHandle tooLong = Connect();
    fake.Feed(tooLong, LengthOnly(131073));
    Pass();
    EXPECT_TRUE(fake.IsClosed(tooLong));
    SocketHandle negative = Connect();
    fake.Feed(negative, LengthOnly(-1) + "junk");
    Pass();
    EXPECT_TRUE(fake.IsClosed(negative));
    EXPECT_EQ(Console(),
              "New client connected\nInvalid msg size\nDisconnected\n"
              "New client connected\nInvalid msg size\nDisconnected\n");
    EXPECT_EQ(ClientCount(), 1);
}

TEST_F(RelayTest, EmptyFrameEntersHistoryButIsSentToNobody) {
    SocketHandle a = Connect();
    fake.Feed(a, Frame("A") + Frame("B") + Frame("C") + Frame(""));
    Pass();
    Pass();
    fake.TakeSent(a);
    ASSERT_NE(g_server.relay.history[0], nullptr);
    EXPECT_STREQ(g_server.relay.history[0], "");
    EXPECT_STREQ(g_server.relay.history[2], "B");
    SocketHandle late = Connect();
    Pass();
    EXPECT_EQ(fake.TakeSent(late), Frame("B") + Frame("C"));
}

TEST_F(RelayTest, PingIsAnsweredToTheSenderAlone) {
    SocketHandle a = Connect();
    SocketHandle b = Connect();
    Console();
    fake.Feed(a, Frame("@PING"));
    Pass();
    Pass();
    EXPECT_EQ(fake.TakeSent(a), std::string("\x05\x00\x00\x00@PING", 9));
    EXPECT_EQ(fake.TakeSent(b), "");
    EXPECT_EQ(Console(), "@PING\n");
    EXPECT_EQ(g_server.relay.history[0], nullptr);

    fake.Feed(a, Frame(std::string("@PING\0tail", 10)));  // compared as a text
    Pass();
    Pass();
    EXPECT_EQ(fake.TakeSent(a), Frame("@PING"));
    fake.Feed(a, Frame("@ping") + Frame("@PING "));
    Pass();
    Pass();
    EXPECT_EQ(fake.TakeSent(b), Frame("@ping") + Frame("@PING "));
}

TEST_F(RelayTest, EmbeddedNulCutsTheRelayButHistoryKeepsTheBuffer) {
    SocketHandle a = Connect();
    fake.Feed(a, Frame(std::string("ab\0cd", 5)));
    Pass();
    Pass();
    EXPECT_EQ(fake.TakeSent(a), Frame("ab"));
}

TEST_F(RelayTest, NewcomerGetsTheLastThreeOldestFirst) {
    SocketHandle a = Connect();
    fake.Feed(a, Frame("A") + Frame("B") + Frame("C") + Frame("D"));
    Pass();
    SocketHandle late = Connect();
    EXPECT_EQ(fake.TakeSent(late), Frame("B") + Frame("C") + Frame("D"));
    // The history goes out before anything relayed after the connection.
    fake.Feed(a, Frame("E"));
    SocketHandle later = fake.QueueConnection();
    Pass();
    Pass();
    EXPECT_EQ(fake.TakeSent(later), Frame("B") + Frame("C") + Frame("D") + Frame("E"));
}

TEST_F(RelayTest, IdleClientTimesOutOnlyWhileNothingIsQueued) {
    SocketHandle a = Connect();
    Console();
    for (int i = 0; i < 59; ++i) {
        Pass(250);
    }
    EXPECT_EQ(ClientCount(), 1);
    fake.At(a).sendLimit = 0;  // the peer reads one byte every 10 s
    SocketHandle b = fake.QueueConnection();
    fake.Feed(b, Frame("keep"));
    Pass(0);
    for (int i = 0; i < 200; ++i) {  // 50 s: b keeps talking, a has output pending
        if (i % 40 == 0) {
            fake.Feed(b, Frame("more"));
        }
        fake.At(a).sendLimit = i % 40 == 39 ? 1 : 0;
        Pass(250);
    }
    EXPECT_NE(FindClient(a), nullptr);
    EXPECT_NE(FindClient(b), nullptr);
    EXPECT_EQ(FindClient(a)->IdleMs(), 250);  // frozen since the output queued
    Console();
    // Once drained in a pass, the countdown resumes in that same pass.
    fake.At(a).sendLimit = INT_MAX;
    Pass(250);
    EXPECT_EQ(FindClient(a), nullptr);
    EXPECT_EQ(fake.TakeSent(a).size(), 6u * 8u);
    EXPECT_EQ(Console(), "TIMEOUT\nDisconnected\n");
    EXPECT_FALSE(fake.At(a).aborted);  // an idle client is closed in order
}

TEST_F(RelayTest, PeerCloseRemovesTheClientAfterItsLastBytes) {
    SocketHandle a = Connect();
    SocketHandle b = Connect();
    Console();
    fake.Feed(a, Frame("bye"));
    fake.FeedCode(a, 0);
    Pass();
    EXPECT_NE(FindClient(a), nullptr);
    Pass();
    EXPECT_EQ(FindClient(a), nullptr);
    EXPECT_TRUE(fake.IsClosed(a));
    EXPECT_EQ(Console(), "Disconnected\n");
    Pass();
    EXPECT_EQ(fake.TakeSent(b), Frame("bye"));
}

TEST_F(RelayTest, PartialSendsDeliverEverythingInOrder) {
    SocketHandle a = Connect();
    fake.At(a).sendLimit = 3;
    fake.Feed(a, Frame("first") + Frame("second"));
    for (int i = 0; i < 10; ++i) {
        Pass();
    }
    EXPECT_EQ(fake.TakeSent(a), Frame("first") + Frame("second"));
    EXPECT_EQ(fake.At(a).sendCalls, 7);  // 19 bytes, 3 a pass, one send a pass
}

TEST_F(RelayTest, WouldBlockKeepsTheOutputForLater) {
    SocketHandle a = Connect();
    fake.At(a).sendResult = kIoWouldBlock;
    fake.Feed(a, Frame("wait"));
    Pass();
    Pass();
    Pass();
    EXPECT_EQ(FindClient(a)->output.Size(), 8);
    fake.At(a).sendResult = 0;
    Pass();
    EXPECT_EQ(fake.TakeSent(a), Frame("wait"));
}

TEST_F(RelayTest, OneSendOfAtMost64KiBPerPass) {
    SocketHandle a = Connect();
    std::string big(131072, 'z');
    fake.Feed(a, Frame(big) + Frame(big));
    Pass();  // receives 32768 bytes
    for (int i = 0; i < 8; ++i) {
        Pass();
    }
    int callsBefore = fake.At(a).sendCalls;
    fake.TakeSent(a);
    Pass();
    EXPECT_EQ(fake.At(a).sendCalls, callsBefore + 1);
    EXPECT_EQ(fake.TakeSent(a).size(), 65536u);
}

// Fault fixes: a broken connection is dropped on the spot.
TEST_F(RelayTest, HardReceiveErrorDropsTheClient) {
    SocketHandle a = Connect();
    Console();
    fake.FeedCode(a, kIoError);
    Pass();
    EXPECT_EQ(FindClient(a), nullptr);
    EXPECT_TRUE(fake.IsClosed(a));
    EXPECT_EQ(Console(), "Disconnected\n");
}

TEST_F(RelayTest, HardSendErrorDropsTheClientWithQueuedOutput) {
    SocketHandle a = Connect();
    SocketHandle b = Connect();
    fake.At(a).sendResult = kIoError;  // reset by the peer
    Console();
    fake.Feed(b, Frame("x"));
    Pass();
    Pass();
    EXPECT_EQ(FindClient(a), nullptr);
    EXPECT_EQ(Console(), "Disconnected\n");
    EXPECT_NE(FindClient(b), nullptr);
}

TEST_F(RelayTest, SlowConsumerIsDroppedAtTheOutputBound) {
    SocketHandle slow = Connect();
    SocketHandle talker = Connect();
    fake.At(slow).sendResult = kIoWouldBlock;
    std::string payload(131072, 'p');
    std::string frame = Frame(payload);
    // 255 frames of 131076 bytes fit in 32 MiB; the 256th does not.
    int frames = 0;
    while (FindClient(slow) != nullptr && frames < 300) {
        fake.Feed(talker, frame);
        for (int i = 0; i < 5; ++i) {
            Pass(0);
        }
        ++frames;
        EXPECT_LE(FindClient(slow) ? FindClient(slow)->output.Size() : 0, kMaxQueuedOutput);
    }
    EXPECT_EQ(frames, 256);
    EXPECT_NE(Console().find("Output overflow\nDisconnected\n"), std::string::npos);
    EXPECT_TRUE(fake.IsClosed(slow));
    for (int i = 0; i < 5; ++i) {
        Pass(0);
    }
    EXPECT_NE(FindClient(talker), nullptr);
    EXPECT_EQ(fake.TakeSent(talker).size(), 256u * frame.size());
}

void* FailAll(void*, std::size_t) {
    return nullptr;
}

TEST_F(RelayTest, ReceivedBytesThatCannotBeStoredDropTheClient) {
    SocketHandle a = Connect();
    Console();
    SetHeapRealloc(FailAll);
    fake.Feed(a, "abc");
    Pass();
    SetHeapRealloc(nullptr);
    EXPECT_EQ(FindClient(a), nullptr);
    EXPECT_EQ(Console(), "Disconnected\n");
}

int g_allowed = 0;
void* FailAfterBudget(void* block, std::size_t size) {
    if (g_allowed-- <= 0) {
        return nullptr;
    }
    return std::realloc(block, size);
}

void* FailBelow1KiB(void* block, std::size_t size) {
    return size < 1024 ? nullptr : std::realloc(block, size);
}

TEST_F(RelayTest, FrameThatCannotBeQueuedIsNeverHalfWritten) {
    SocketHandle a = Connect();
    SocketHandle b = Connect();
    fake.At(b).sendResult = kIoWouldBlock;
    std::string payload(3000, 'q');
    fake.Feed(a, Frame("warm"));
    Pass(0);
    std::string pings;
    for (int i = 0; i < 15; ++i) {
        pings += Frame("@PING");
    }
    fake.Feed(b, pings);
    for (int i = 0; i < 4; ++i) {
        Pass(0);
    }
    // b holds a frame and 15 replies, each on its own, all its queue has
    // room for; one more frame needs a longer queue, which fails (the frame
    // itself is larger and is allocated). a's queue has room.
    Console();
    SetHeapRealloc(FailBelow1KiB);
    fake.Feed(a, Frame(payload));
    Pass(0);
    SetHeapRealloc(nullptr);
    fake.At(b).sendResult = 0;
    Pass(0);
    EXPECT_EQ(FindClient(b), nullptr);
    EXPECT_EQ(fake.TakeSent(b), "");  // not even the first frame: nothing goes out in part
    EXPECT_EQ(Console(), "Output overflow\nDisconnected\n");
    EXPECT_NE(FindClient(a), nullptr);
    EXPECT_EQ(fake.TakeSent(a), Frame("warm") + Frame(payload));
}

TEST_F(RelayTest, RefusedShrinkAfterAPartialSendKeepsTheOutputInStep) {
    SocketHandle a = Connect();
    std::string payload(131072, 'p');
    fake.At(a).sendResult = kIoWouldBlock;
    fake.Feed(a, Frame(payload) + Frame(payload) + Frame(payload));
    for (int i = 0; i < 14; ++i) {
        Pass(0);
    }
    std::string frames = Frame(payload) + Frame(payload) + Frame(payload);
    ASSERT_EQ(FindClient(a)->output.Size(), static_cast<int>(frames.size()));
    int grown = FindClient(a)->output.Capacity();
    fake.At(a).sendResult = 0;
    for (int i = 0; i < 3; ++i) {
        Pass(0);
    }
    // The fourth send leaves a quarter of the buffer: it would shrink, and the heap refuses.
    SetHeapRealloc(FailAll);
    Pass(0);
    SetHeapRealloc(nullptr);
    CClient* client = FindClient(a);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->output.Capacity(), grown);
    EXPECT_EQ(client->output.Size(), static_cast<int>(frames.size()) - 4 * kMaxSendPerPass);
    for (int i = 0; i < 3; ++i) {
        Pass(0);
    }
    EXPECT_EQ(fake.TakeSent(a), frames);
    EXPECT_EQ(FindClient(a)->output.Size(), 0);
}

TEST_F(RelayTest, MessageWithoutMemoryIsDroppedButTheStreamStaysInStep) {
    SocketHandle a = Connect();
    fake.Feed(a, Frame("lost"));
    SetHeapRealloc(FailAfterBudget);
    g_allowed = 0;  // the message buffer fails
    Pass(0);
    SetHeapRealloc(nullptr);
    fake.Feed(a, Frame("kept"));
    Pass(0);
    Pass(0);
    EXPECT_EQ(fake.TakeSent(a), Frame("kept"));
    EXPECT_NE(FindClient(a), nullptr);
}

}  // namespace
