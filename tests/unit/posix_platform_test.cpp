// The POSIX platform over real loopback sockets: what the server relies on
// beyond what the fake platform can show.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstdio>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/posix/readiness.h"

namespace {

// A listener on 127.0.0.1 and one peer connected to it, not yet accepted.
class LoopbackPair : public ::testing::Test {
  protected:
    void SetUp() override {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(listener, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(::listen(listener, 5), 0);
        ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
        peer = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(peer, 0);
        ASSERT_EQ(::connect(peer, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    }

    void TearDown() override {
        if (peer >= 0) {
            ::close(peer);
        }
        ::close(listener);
    }

    SocketHandle AcceptOne() {
        SocketHandle s = platform.Accept(static_cast<SocketHandle>(listener));
        EXPECT_NE(s, INVALID_SOCKET);
        EXPECT_EQ(platform.SetNonBlocking(s), 0);
        return s;
    }

    CPlatform& platform = SystemPlatform();
    int listener = -1;
    int peer = -1;
};

TEST_F(LoopbackPair, AcceptedSocketSendsWithoutNagleDelay) {
    SocketHandle s = AcceptOne();
    int value = 0;
    socklen_t len = sizeof value;
    ASSERT_EQ(::getsockopt(static_cast<int>(s), IPPROTO_TCP, TCP_NODELAY, &value, &len), 0);
    EXPECT_NE(value, 0);
    platform.CloseSocket(s);
}

TEST_F(LoopbackPair, ReadinessFollowsBytesAndClose) {
    SocketHandle s = AcceptOne();
    EXPECT_TRUE(platform.MayRead(s));  // accepted after the last look
    platform.RefreshReadiness();
    EXPECT_FALSE(platform.MayRead(s));

    ASSERT_EQ(::send(peer, "abc", 3, 0), 3);  // loopback delivers before send returns
    platform.RefreshReadiness();
    EXPECT_TRUE(platform.MayRead(s));
    char buffer[16];
    EXPECT_EQ(platform.Recv(s, buffer, sizeof buffer), 3);
    platform.RefreshReadiness();
    EXPECT_FALSE(platform.MayRead(s));

    ::close(peer);
    peer = -1;
    platform.RefreshReadiness();
    EXPECT_TRUE(platform.MayRead(s));
    EXPECT_EQ(platform.Recv(s, buffer, sizeof buffer), 0);
    platform.CloseSocket(s);
}

TEST_F(LoopbackPair, ReusedDescriptorStartsReadable) {
    SocketHandle first = AcceptOne();
    platform.RefreshReadiness();
    platform.CloseSocket(first);
    ::close(peer);
    // The next accept may get the same descriptor number; it must not inherit
    // the closed socket's quiet state.
    sockaddr_in addr = {};
    socklen_t len = sizeof addr;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    peer = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(peer, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    SocketHandle second = AcceptOne();
    EXPECT_TRUE(platform.MayRead(second));
    platform.RefreshReadiness();
    EXPECT_FALSE(platform.MayRead(second));
    ASSERT_EQ(::send(peer, "x", 1, 0), 1);
    platform.RefreshReadiness();
    EXPECT_TRUE(platform.MayRead(second));
    platform.CloseSocket(second);
}

// How often the last look listed s; the list must be complete.
int TimesListed(const CPlatform::ReadyList& ready, SocketHandle s) {
    EXPECT_TRUE(ready.complete);
    int times = 0;
    for (int i = 0; i < ready.count; ++i) {
        times += ready.sockets[i] == s ? 1 : 0;
    }
    return times;
}

TEST_F(LoopbackPair, ReadyListHoldsOnlySocketsWithBytesAndKeepsThoseLeftUnread) {
    SocketHandle busy = AcceptOne();
    sockaddr_in addr = {};
    socklen_t len = sizeof addr;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    int quietPeer = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(quietPeer, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    SocketHandle quiet = AcceptOne();

    platform.RefreshReadiness();
    EXPECT_EQ(TimesListed(platform.ReadySockets(), busy), 0);
    EXPECT_EQ(TimesListed(platform.ReadySockets(), quiet), 0);

    ASSERT_EQ(::send(peer, "abcdef", 6, 0), 6);  // loopback delivers before send returns
    platform.RefreshReadiness();
    EXPECT_EQ(TimesListed(platform.ReadySockets(), busy), 1);
    EXPECT_EQ(TimesListed(platform.ReadySockets(), quiet), 0);

    // Bytes left in the socket are reported again by the next look.
    char buffer[16];
    EXPECT_EQ(platform.Recv(busy, buffer, 2), 2);
    platform.RefreshReadiness();
    EXPECT_EQ(TimesListed(platform.ReadySockets(), busy), 1);
    EXPECT_EQ(platform.Recv(busy, buffer, sizeof buffer), 4);
    platform.RefreshReadiness();
    EXPECT_EQ(TimesListed(platform.ReadySockets(), busy), 0);

    ::close(quietPeer);
    platform.CloseSocket(busy);
    platform.CloseSocket(quiet);
}

TEST_F(LoopbackPair, ReadyListHoldsAClosedOrResetPeer) {
    SocketHandle closing = AcceptOne();
    sockaddr_in addr = {};
    socklen_t len = sizeof addr;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    int resetting = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(resetting, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    SocketHandle reset = AcceptOne();
    platform.RefreshReadiness();
    EXPECT_EQ(TimesListed(platform.ReadySockets(), closing), 0);
    EXPECT_EQ(TimesListed(platform.ReadySockets(), reset), 0);

    ::close(peer);
    peer = -1;
    linger now = {1, 0};
    ASSERT_EQ(::setsockopt(resetting, SOL_SOCKET, SO_LINGER, &now, sizeof now), 0);
    ::close(resetting);
    platform.RefreshReadiness();
    EXPECT_EQ(TimesListed(platform.ReadySockets(), closing), 1);
    EXPECT_EQ(TimesListed(platform.ReadySockets(), reset), 1);

    char buffer[16];
    EXPECT_EQ(platform.Recv(closing, buffer, sizeof buffer), 0);
    EXPECT_EQ(platform.Recv(reset, buffer, sizeof buffer), kIoError);
    platform.CloseSocket(closing);
    platform.CloseSocket(reset);
}

// A descriptor epoll refuses (a regular file) is listed at every look, and
// no longer once forgotten; the epoll set's sockets are listed as usual.
TEST(PosixReadiness, DescriptorOutsideTheSetIsListedAtEveryLook) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    int outside = ::fileno(file);
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    CReadiness readiness;
    readiness.Watch(outside);
    readiness.Watch(pipeEnds[0]);
    for (int look = 0; look < 3; ++look) {
        readiness.Refresh();
        EXPECT_EQ(TimesListed(readiness.Ready(), static_cast<SocketHandle>(outside)), 1);
        EXPECT_EQ(TimesListed(readiness.Ready(), static_cast<SocketHandle>(pipeEnds[0])), 0);
        EXPECT_TRUE(readiness.MayRead(outside));
    }
    ASSERT_EQ(::write(pipeEnds[1], "x", 1), 1);
    readiness.Refresh();
    EXPECT_EQ(TimesListed(readiness.Ready(), static_cast<SocketHandle>(pipeEnds[0])), 1);
    EXPECT_EQ(readiness.Ready().count, 2);

    readiness.Forget(outside);
    readiness.Refresh();
    EXPECT_EQ(TimesListed(readiness.Ready(), static_cast<SocketHandle>(outside)), 0);
    EXPECT_EQ(readiness.Ready().count, 1);
    readiness.Forget(pipeEnds[0]);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    std::fclose(file);
}

TEST(PosixPlatform, StartNetworkRaisesTheOpenFileSoftLimitToTheHardLimit) {
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max < 128 || saved.rlim_max == RLIM_INFINITY) {
        GTEST_SKIP() << "needs a finite hard limit of at least 128";
    }
    rlimit lowered = saved;
    lowered.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    SystemPlatform().StartNetwork();
    rlimit raised;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &raised), 0);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(raised.rlim_cur, saved.rlim_max);
}

}  // namespace
