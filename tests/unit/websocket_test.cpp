#include <memory>
#include <string>
#include <vector>

#include "server/listeners/kinds.h"
#include "server_fixture.h"

namespace {

const char kUpgrade[] =
    "GET / HTTP/1.1\r\n"
    "Host: example\r\n"
    "Upgrade: websocket\r\n"
    "Connection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
    "Sec-WebSocket-Version: 13\r\n"
    "\r\n";

// A masked frame as a client sends it.
std::string ClientFrame(int opcode, const std::string& payload, bool fin = true) {
    std::string f(1, static_cast<char>((fin ? 0x80 : 0) | opcode));
    size_t n = payload.size();
    if (n < 126) {
        f += static_cast<char>(0x80 | n);
    } else if (n <= 0xFFFF) {
        f += static_cast<char>(0x80 | 126);
        f += static_cast<char>(n >> 8);
        f += static_cast<char>(n & 0xFF);
    } else {
        f += static_cast<char>(0x80 | 127);
        for (int i = 7; i >= 0; --i) {
            f += static_cast<char>((static_cast<unsigned long long>(n) >> (8 * i)) & 0xFF);
        }
    }
    const char key[4] = {0x11, 0x22, 0x33, 0x44};
    f.append(key, 4);
    for (size_t i = 0; i < n; ++i) {
        f += static_cast<char>(payload[i] ^ key[i % 4]);
    }
    return f;
}

// The server's frames as a client reads them: opcode and payload each.
struct ServerFrame {
    int opcode;
    std::string payload;
};
std::vector<ServerFrame> ParseServerFrames(const std::string& bytes, bool* clean) {
    std::vector<ServerFrame> frames;
    size_t at = 0;
    *clean = true;
    while (at < bytes.size()) {
        if (bytes.size() - at < 2) {
            *clean = false;
            break;
        }
        unsigned char b0 = static_cast<unsigned char>(bytes[at]);
        unsigned char b1 = static_cast<unsigned char>(bytes[at + 1]);
        size_t header = 2;
        unsigned long long n = b1 & 0x7F;
        if ((b1 & 0x80) != 0 || (b0 & 0x70) != 0 || (b0 & 0x80) == 0) {
            *clean = false;  // masked, reserved bits, or not final: never from the server
            break;
        }
        if (n >= 126) {
            size_t extra = n == 126 ? 2 : 8;
            if (bytes.size() - at < 2 + extra) {
                *clean = false;
                break;
            }
            n = 0;
            for (size_t i = 0; i < extra; ++i) {
                n = (n << 8) | static_cast<unsigned char>(bytes[at + 2 + i]);
            }
            header += extra;
        }
        if (bytes.size() - at - header < n) {
            *clean = false;
            break;
        }
        frames.push_back({b0 & 0x0F, bytes.substr(at + header, static_cast<size_t>(n))});
        at += header + static_cast<size_t>(n);
    }
    return frames;
}

class WebSocketTest : public ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        fake.reportReadiness = true;
        ASSERT_TRUE(g_server.AddListener(0, 5080, MakeWebSocketMaker({}, false)));
        wsListener = fake.LastListener();
    }

    // A WebSocket client through its upgrade, with the 101 answer taken.
    SocketHandle Upgraded() {
        SocketHandle s = fake.QueueConnectionOn(wsListener);
        Pass();
        fake.Feed(s, kUpgrade);
        Pass();
        std::string answer = fake.TakeSent(s);
        EXPECT_EQ(answer.compare(0, 13, "HTTP/1.1 101 "), 0) << answer;
        // The RFC's own example key and answer.
        EXPECT_NE(answer.find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"),
                  std::string::npos);
        return s;
    }

    SocketHandle wsListener = INVALID_SOCKET;
};

// A fragmented message is whole only with its last fragment; it may then
// be longer than one pass's receive may hand over. The rest must still be
// handed over in the passes that follow, though the socket is quiet.
TEST_F(WebSocketTest, DecodedBytesAreNotStrandedWhenTheSocketFallsQuiet) {
    SocketHandle tcp = Connect();
    SocketHandle ws = Upgraded();
    std::string first(100000, 'a');
    std::string last(10, 'b');
    fake.Feed(ws, ClientFrame(1, first, false));
    for (int i = 0; i < 40; ++i) {
        Pass();
    }
    EXPECT_EQ(fake.TakeSent(tcp), "");
    fake.Feed(ws, ClientFrame(0, last, true));
    for (int i = 0; i < 40 && fake.At(tcp).sent.size() < first.size() + 14; ++i) {
        Pass();
    }
    EXPECT_EQ(fake.TakeSent(tcp), Frame(first + last));
    for (int i = 0; i < 10; ++i) {
        Pass();
    }
    bool clean = false;
    std::vector<ServerFrame> frames = ParseServerFrames(fake.TakeSent(ws), &clean);
    EXPECT_TRUE(clean);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].opcode, 1);
    EXPECT_EQ(frames[0].payload, first + last);
}

// A pong (or a close) never goes into the middle of a relayed frame that
// the socket took only part of: it waits for the frame's end.
TEST_F(WebSocketTest, PongWaitsForTheEndOfAHalfSentFrame) {
    SocketHandle tcp = Connect();
    SocketHandle ws = Upgraded();
    fake.At(ws).sendLimit = 1000;
    std::string big(70000, 'x');
    fake.Feed(tcp, Frame(big));
    for (int i = 0; i < 100 && fake.At(ws).sent.empty(); ++i) {
        Pass();
    }
    ASSERT_FALSE(fake.At(ws).sent.empty());
    ASSERT_LT(fake.At(ws).sent.size(), big.size());
    fake.Feed(ws, ClientFrame(9, "are you there"));
    for (int i = 0; i < 200; ++i) {
        Pass();
    }
    bool clean = false;
    std::vector<ServerFrame> frames = ParseServerFrames(fake.TakeSent(ws), &clean);
    EXPECT_TRUE(clean);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].opcode, 1);
    EXPECT_EQ(frames[0].payload, big);
    EXPECT_EQ(frames[1].opcode, 10);
    EXPECT_EQ(frames[1].payload, "are you there");
}

// Text that is not UTF-8 goes to WebSocket clients as a binary message;
// the length forms of 7, 16 and 64 bits are each used at their bounds.
TEST_F(WebSocketTest, RelayedMessagesAreTextOrBinaryWithEachLengthForm) {
    SocketHandle tcp = Connect();
    SocketHandle ws = Upgraded();
    std::vector<std::string> texts = {std::string(125, 't'),   std::string(126, 't'),
                                      std::string(65535, 't'), std::string(65536, 't'),
                                      "caf\xC3\xA9",           "caf\xE9",
                                      "\xED\xA0\x80"};
    for (const std::string& text : texts) {
        fake.Feed(tcp, Frame(text));
        Pass();
        Pass();
    }
    for (int i = 0; i < 20; ++i) {
        Pass();
    }
    bool clean = false;
    std::vector<ServerFrame> frames = ParseServerFrames(fake.TakeSent(ws), &clean);
    EXPECT_TRUE(clean);
    ASSERT_EQ(frames.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(frames[i].payload, texts[i]);
    }
    EXPECT_EQ(frames[4].opcode, 1);
    EXPECT_EQ(frames[5].opcode, 2);  // Latin-1
    EXPECT_EQ(frames[6].opcode, 2);  // a surrogate
}

// Messages half received hold memory that the budget counts as queued, so
// their holders are dropped for room, the largest first; a dropped one
// frees its share at once, so that one drop makes the room and no one else
// goes for it.
TEST_F(WebSocketTest, HalfReceivedMessagesAreDroppedForRoomOneAtATime) {
    g_settings.maxMemoryBytes = 400 * 1024;
    g_server.memory.SetLimit(g_settings.maxMemoryBytes);
    SocketHandle tcp = Connect();
    std::vector<SocketHandle> ws;
    for (int i = 0; i < 4; ++i) {
        ws.push_back(Upgraded());
        fake.Feed(ws.back(), ClientFrame(1, std::string(90000, 'h'), false));
        for (int k = 0; k < 10; ++k) {
            Pass();
            EXPECT_LE(g_server.memory.Total(), g_settings.maxMemoryBytes);
        }
    }
    fake.Feed(tcp, Frame("@PING"));
    Pass();
    Pass();
    EXPECT_EQ(fake.TakeSent(tcp), Frame("@PING"));
    int open = 0;
    for (SocketHandle s : ws) {
        open += FindClient(s) != nullptr ? 1 : 0;
    }
    EXPECT_EQ(open, 3);
    std::string console = Console();
    size_t drops = 0;
    for (size_t at = console.find("Memory budget exceeded\nDisconnected\n");
         at != std::string::npos; at = console.find("Memory budget exceeded\n", at + 1)) {
        ++drops;
    }
    EXPECT_EQ(drops, 1u) << console;
    g_settings.maxMemoryBytes = CSettings().maxMemoryBytes;
}

}  // namespace
