// The Windows platform over real loopback sockets and files: what the server
// relies on beyond what the fake platform can show.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock2.h>

#include <share.h>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

int GetIntOption(SocketHandle s, int option) {
    BOOL value = FALSE;
    int length = static_cast<int>(sizeof value);
    if (::getsockopt(static_cast<SOCKET>(s), SOL_SOCKET, option, reinterpret_cast<char*>(&value),
                     &length) != 0) {
        return -1;
    }
    return value ? 1 : 0;
}

// A listener made by the platform the way the server makes it, on a free
// loopback port, and a peer socket ready to connect to it.
class Loopback : public ::testing::Test {
  protected:
    void SetUp() override {
        platform.StartNetwork();
        listener = platform.CreateTcpSocket();
        ASSERT_NE(listener, INVALID_SOCKET);
        platform.SetReuseAddress(listener);
        ASSERT_EQ(platform.SetNonBlocking(listener), 0);
        ASSERT_EQ(platform.BindAnyIPv4(listener, 0), 0);
        ASSERT_EQ(platform.Listen(listener, 5), 0);
        int length = static_cast<int>(sizeof address);
        ASSERT_EQ(::getsockname(static_cast<SOCKET>(listener),
                                reinterpret_cast<sockaddr*>(&address), &length),
                  0);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        peer = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        ASSERT_NE(peer, INVALID_SOCKET);
    }

    void TearDown() override {
        if (peer != INVALID_SOCKET) {
            ::closesocket(peer);
        }
        platform.CloseSocket(listener);
    }

    // Connects the peer and accepts it, non-blocking, through the platform.
    SocketHandle ConnectAndAccept() {
        EXPECT_EQ(::connect(peer, reinterpret_cast<const sockaddr*>(&address),
                            static_cast<int>(sizeof address)),
                  0);
        SocketHandle s = INVALID_SOCKET;
        for (int i = 0; i < 500 && s == INVALID_SOCKET; ++i) {
            s = platform.Accept(listener);  // the connection may take a moment to queue
            if (s == INVALID_SOCKET) {
                platform.SleepMs(10);
            }
        }
        EXPECT_NE(s, INVALID_SOCKET);
        EXPECT_EQ(platform.SetNonBlocking(s), 0);
        return s;
    }

    // Reads from s until `count` bytes arrived or the result is not a byte count.
    int RecvUntil(SocketHandle s, char* buffer, int count) {
        int r = kIoWouldBlock;
        for (int i = 0; i < 500 && r == kIoWouldBlock; ++i) {
            r = platform.Recv(s, buffer, count);
            if (r == kIoWouldBlock) {
                platform.SleepMs(10);
            }
        }
        return r;
    }

    CPlatform& platform = SystemPlatform();
    SocketHandle listener = INVALID_SOCKET;
    SOCKET peer = INVALID_SOCKET;
    sockaddr_in address = {};
};

TEST_F(Loopback, ListenerHoldsItsPortExclusively) {
    EXPECT_EQ(GetIntOption(listener, SO_EXCLUSIVEADDRUSE), 1);
    EXPECT_EQ(GetIntOption(listener, SO_REUSEADDR), 0);
}

TEST_F(Loopback, AcceptWithNothingWaitingReturnsAtOnce) {
    EXPECT_EQ(platform.Accept(listener), INVALID_SOCKET);
}

TEST_F(Loopback, RecvReportsNothingYetThenBytesThenOrderlyClose) {
    SocketHandle s = ConnectAndAccept();
    char buffer[16];
    EXPECT_EQ(platform.Recv(s, buffer, sizeof buffer), kIoWouldBlock);

    ASSERT_EQ(::send(peer, "abc", 3, 0), 3);
    ASSERT_EQ(RecvUntil(s, buffer, sizeof buffer), 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");

    ::shutdown(peer, SD_SEND);
    EXPECT_EQ(RecvUntil(s, buffer, sizeof buffer), 0);
    platform.CloseSocket(s);
}

// Looks once per 10 ms until the socket may read, for at most 5 s.
bool BecomesReadable(CPlatform& platform, SocketHandle s) {
    for (int i = 0; i < 500; ++i) {
        platform.RefreshReadiness();
        if (platform.MayRead(s)) {
            return true;
        }
        platform.SleepMs(10);
    }
    return false;
}

TEST_F(Loopback, ReadinessFollowsBytesAndClose) {
    SocketHandle s = ConnectAndAccept();
    EXPECT_TRUE(platform.MayRead(s));  // accepted after the last look
    platform.RefreshReadiness();
    EXPECT_FALSE(platform.MayRead(s));

    ASSERT_EQ(::send(peer, "abc", 3, 0), 3);
    ASSERT_TRUE(BecomesReadable(platform, s));
    char buffer[16];
    EXPECT_EQ(platform.Recv(s, buffer, sizeof buffer), 3);
    platform.RefreshReadiness();
    EXPECT_FALSE(platform.MayRead(s));

    ::shutdown(peer, SD_SEND);
    ASSERT_TRUE(BecomesReadable(platform, s));
    EXPECT_EQ(platform.Recv(s, buffer, sizeof buffer), 0);
    platform.CloseSocket(s);
    EXPECT_TRUE(platform.MayRead(s));  // forgotten: nothing is known of it
}

// How often the last look listed s; the list must be complete.
int TimesListed(CPlatform& platform, SocketHandle s) {
    CPlatform::ReadyList ready = platform.ReadySockets();
    EXPECT_TRUE(ready.complete);
    int times = 0;
    for (int i = 0; i < ready.count; ++i) {
        times += ready.sockets[i] == s ? 1 : 0;
    }
    return times;
}

// Looks once per 10 ms until s is listed, for at most 5 s; how often the
// look that listed it did.
int ListedWithin5s(CPlatform& platform, SocketHandle s) {
    for (int i = 0; i < 500; ++i) {
        platform.RefreshReadiness();
        int times = TimesListed(platform, s);
        if (times != 0) {
            return times;
        }
        platform.SleepMs(10);
    }
    return 0;
}

// A second peer connected to the listener and accepted; its socket is `other`.
SocketHandle ConnectAndAcceptAnother(CPlatform& platform, SocketHandle listener,
                                     const sockaddr_in& address, SOCKET& other) {
    other = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_EQ(::connect(other, reinterpret_cast<const sockaddr*>(&address),
                        static_cast<int>(sizeof address)),
              0);
    SocketHandle s = INVALID_SOCKET;
    for (int i = 0; i < 500 && s == INVALID_SOCKET; ++i) {
        s = platform.Accept(listener);
        if (s == INVALID_SOCKET) {
            platform.SleepMs(10);
        }
    }
    EXPECT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(platform.SetNonBlocking(s), 0);
    return s;
}

TEST_F(Loopback, ReadyListHoldsOnlySocketsWithBytesAndKeepsThoseLeftUnread) {
    SocketHandle busy = ConnectAndAccept();
    SOCKET quietPeer = INVALID_SOCKET;
    SocketHandle quiet = ConnectAndAcceptAnother(platform, listener, address, quietPeer);
    platform.RefreshReadiness();
    EXPECT_EQ(TimesListed(platform, busy), 0);
    EXPECT_EQ(TimesListed(platform, quiet), 0);

    ASSERT_EQ(::send(peer, "abcdef", 6, 0), 6);
    EXPECT_EQ(ListedWithin5s(platform, busy), 1);
    EXPECT_EQ(TimesListed(platform, quiet), 0);

    // Bytes left in the socket are reported again by the very next look.
    char buffer[16];
    EXPECT_EQ(platform.Recv(busy, buffer, 2), 2);
    platform.RefreshReadiness();
    EXPECT_EQ(TimesListed(platform, busy), 1);
    platform.RefreshReadiness();
    EXPECT_EQ(TimesListed(platform, busy), 1);
    EXPECT_EQ(platform.Recv(busy, buffer, sizeof buffer), 4);
    platform.RefreshReadiness();
    EXPECT_EQ(TimesListed(platform, busy), 0);
    EXPECT_FALSE(platform.MayRead(busy));

    // More bytes after a quiet look are reported as well.
    ASSERT_EQ(::send(peer, "g", 1, 0), 1);
    EXPECT_EQ(ListedWithin5s(platform, busy), 1);
    EXPECT_TRUE(platform.MayRead(busy));
    EXPECT_EQ(platform.Recv(busy, buffer, sizeof buffer), 1);

    ::closesocket(quietPeer);
    platform.CloseSocket(busy);
    platform.CloseSocket(quiet);
}

TEST_F(Loopback, ReadyListHoldsAClosedOrResetPeer) {
    SocketHandle closing = ConnectAndAccept();
    SOCKET resetting = INVALID_SOCKET;
    SocketHandle reset = ConnectAndAcceptAnother(platform, listener, address, resetting);
    platform.RefreshReadiness();
    EXPECT_EQ(TimesListed(platform, closing), 0);
    EXPECT_EQ(TimesListed(platform, reset), 0);

    ::shutdown(peer, SD_SEND);
    EXPECT_EQ(ListedWithin5s(platform, closing), 1);
    linger now = {1, 0};
    ASSERT_EQ(::setsockopt(resetting, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&now),
                           static_cast<int>(sizeof now)),
              0);
    ::closesocket(resetting);
    EXPECT_EQ(ListedWithin5s(platform, reset), 1);

    char buffer[16];
    EXPECT_EQ(platform.Recv(closing, buffer, sizeof buffer), 0);
    int r = platform.Recv(reset, buffer, sizeof buffer);
    EXPECT_TRUE(r == kIoError || r == 0) << r;  // Wine reports a reset as a close
    platform.CloseSocket(closing);
    platform.CloseSocket(reset);
}

// A socket closed while the look still waits on it must not be reported
// afterwards, least of all as the next socket that gets its handle.
TEST_F(Loopback, SocketClosedWhileWatchedLeavesNothingBehind) {
    for (int round = 0; round < 3; ++round) {
        SOCKET firstPeer = INVALID_SOCKET;
        SocketHandle first = ConnectAndAcceptAnother(platform, listener, address, firstPeer);
        platform.RefreshReadiness();  // now waits on the quiet socket
        EXPECT_EQ(TimesListed(platform, first), 0);
        platform.CloseSocket(first);
        ::closesocket(firstPeer);

        SOCKET nextPeer = INVALID_SOCKET;
        SocketHandle next = ConnectAndAcceptAnother(platform, listener, address, nextPeer);
        for (int look = 0; look < 20; ++look) {
            platform.RefreshReadiness();
            EXPECT_EQ(TimesListed(platform, next), 0) << "round " << round << ", look " << look;
            if (next != first) {
                EXPECT_EQ(TimesListed(platform, first), 0);
            }
            platform.SleepMs(5);
        }
        ASSERT_EQ(::send(nextPeer, "x", 1, 0), 1);
        EXPECT_EQ(ListedWithin5s(platform, next), 1);
        ::closesocket(nextPeer);
        platform.CloseSocket(next);
    }
}

TEST_F(Loopback, ResetPeerIsAHardErrorForRecvAndSend) {
    SocketHandle s = ConnectAndAccept();
    // A peer that closes with bytes it never read resets the connection.
    ASSERT_EQ(platform.Send(s, "unread", 6), 6);
    char buffer[16];
    EXPECT_EQ(::recv(peer, buffer, 1, MSG_PEEK), 1);  // the bytes have arrived
    ::closesocket(peer);
    peer = INVALID_SOCKET;

    // Windows reports WSAECONNRESET; Wine 8 reports the reset as an orderly
    // close. Either ends the client; waiting for more would keep it forever.
    int r = RecvUntil(s, buffer, sizeof buffer);
    EXPECT_TRUE(r == kIoError || r == 0) << r;
    EXPECT_EQ(platform.Send(s, "x", 1), kIoError);
    platform.CloseSocket(s);
}

TEST_F(Loopback, SendToAPeerThatDoesNotReadBlocksNothing) {
    SocketHandle s = ConnectAndAccept();
    std::vector<char> chunk(65536, 'x');
    int r = 0;
    long long total = 0;
    for (int i = 0; i < 10000 && r >= 0; ++i) {
        r = platform.Send(s, chunk.data(), static_cast<int>(chunk.size()));
        if (r > 0) {
            total += r;
        }
    }
    EXPECT_EQ(r, kIoWouldBlock) << "after " << total << " bytes";
    EXPECT_GT(total, 0);
    platform.CloseSocket(s);
}

// A file that a writer holds open cannot be read; once it lets go, it can.
TEST(WindowsPlatformFile, FileHeldForWritingCannotBeOpened) {
    char directory[MAX_PATH];
    char path[MAX_PATH];
    ASSERT_NE(GetTempPathA(MAX_PATH, directory), 0u);
    ASSERT_NE(GetTempFileNameA(directory, "tvr", 0, path), 0u);
    CPlatform& platform = SystemPlatform();

    std::FILE* writer = _fsopen(path, "ab", _SH_DENYNO);
    ASSERT_NE(writer, nullptr);
    std::FILE* reader = platform.OpenForReading(path);
    EXPECT_EQ(reader, nullptr);
    if (reader != nullptr) {
        std::fclose(reader);
    }
    std::fclose(writer);

    reader = platform.OpenForReading(path);
    EXPECT_NE(reader, nullptr);
    if (reader != nullptr) {
        std::fclose(reader);
    }
    // Readers share the file with each other.
    std::FILE* first = platform.OpenForReading(path);
    std::FILE* second = platform.OpenForReading(path);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(second, nullptr);
    for (std::FILE* f : {first, second}) {
        if (f != nullptr) {
            std::fclose(f);
        }
    }
    DeleteFileA(path);
}

}  // namespace
