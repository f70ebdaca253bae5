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
