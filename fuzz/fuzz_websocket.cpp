// Drives a WebSocket connection through the fake platform with an
// input-chosen script: an upgrade request (well-formed, or fuzzed bytes),
// then client frames (well-formed ones built from the input, or raw bytes)
// split at arbitrary points, receives of any length, and relayed frames sent
// through sockets that take any byte count. It checks that what is handed
// to the client is a stream of length frames carrying exactly the messages
// sent (while the input stays well-formed), that nothing decoded is left
// without the connection saying so, and that every byte the server sends
// after its answer is a clean sequence of server frames.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "connection/encoding.h"
#include "fake_platform.h"
#include "stream/frame.h"
#include "stream/shared_block.h"
#include "websocket/handshake.h"
#include "websocket/websocket_connection.h"

namespace {

const char kUpgrade[] =
    "GET / HTTP/1.1\r\nHost: h\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
    "Origin: https://a.example\r\n\r\n";

std::string ClientFrame(int opcode, bool fin, const std::string& payload, bool masked) {
    std::string f(1, static_cast<char>((fin ? 0x80 : 0) | opcode));
    size_t n = payload.size();
    char bit = masked ? static_cast<char>(0x80) : 0;
    if (n < 126) {
        f += static_cast<char>(bit | static_cast<char>(n));
    } else if (n <= 0xFFFF) {
        f += static_cast<char>(bit | 126);
        f += static_cast<char>(n >> 8);
        f += static_cast<char>(n & 0xFF);
    } else {
        f += static_cast<char>(bit | 127);
        for (int i = 7; i >= 0; --i) {
            f += static_cast<char>((static_cast<unsigned long long>(n) >> (8 * i)) & 0xFF);
        }
    }
    if (!masked) {
        return f + payload;
    }
    const char key[4] = {0x5A, 0x01, 0x7F, 0x33};
    f.append(key, 4);
    for (size_t i = 0; i < n; ++i) {
        f += static_cast<char>(payload[i] ^ key[i % 4]);
    }
    return f;
}

// Parses server frames; false when one is malformed or follows a close.
// `tailOk`: the last one may be cut short (a send that took part of it).
bool CleanServerFrames(const std::string& bytes, bool tailOk) {
    size_t at = 0;
    while (at < bytes.size()) {
        size_t left = bytes.size() - at;
        if (left < 2) {
            return tailOk;
        }
        unsigned char b0 = static_cast<unsigned char>(bytes[at]);
        unsigned char b1 = static_cast<unsigned char>(bytes[at + 1]);
        if ((b0 & 0xF0) != 0x80 || (b1 & 0x80) != 0) {
            return false;
        }
        int op = b0 & 0x0F;
        if (op != 1 && op != 2 && op != 8 && op != 9 && op != 10) {
            return false;
        }
        unsigned long long n = b1 & 0x7F;
        size_t header = 2;
        if (n >= 126) {
            header += n == 126 ? 2 : 8;
            if (left < header) {
                return tailOk;
            }
            n = 0;
            for (size_t i = 2; i < header; ++i) {
                n = (n << 8) | static_cast<unsigned char>(bytes[at + i]);
            }
        }
        if (left - header < n) {
            return tailOk;
        }
        at += header + static_cast<size_t>(n);
        if (op == 8 && at != bytes.size()) {
            return false;  // nothing may follow a close
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    FakePlatform fake;
    SetPlatform(&fake);
    const SocketHandle s = 7;
    std::vector<std::string> origins;
    if (in.ConsumeBool()) {
        origins.push_back(in.ConsumeBool() ? "https://a.example" : "https://b.example");
    }
    bool wellFormed = in.ConsumeBool();
    std::string request =
        wellFormed ? std::string(kUpgrade) : in.ConsumeRandomLengthString(2 * kMaxRequestBytes);
    std::vector<std::string> expected;  // the messages sent, while the input stays well-formed
    std::string message;                // one being sent in fragments
    bool inMessage = false;
    // The request may come in pieces.
    size_t cut = in.ConsumeIntegralInRange<size_t>(0, request.size());
    // (An empty piece would read as the peer's close.)
    if (cut > 0) {
        fake.Feed(s, request.substr(0, cut));
    }
    if (cut < request.size()) {
        fake.Feed(s, request.substr(cut));
    }

    {
        CWebSocketConnection connection(s, origins, false);
        std::string handed;  // what Receive gave, as length frames
        bool ended = false;
        CSharedBlock* block = CSharedBlock::Make(1 << 20);
        CHECK(block != nullptr);
        std::vector<SendSlice> queued;  // relayed frames not yet sent
        size_t queuedOffset = 0;
        // A send of what is queued, as the server makes at every turn.
        auto sendQueued = [&]() {
            if (queued.empty() || !connection.Established()) {
                return;
            }
            std::vector<SendSlice> slices(queued.begin(), queued.end());
            slices[0].data = static_cast<const char*>(slices[0].data) + queuedOffset;
            slices[0].length -= static_cast<int>(queuedOffset);
            int sent = connection.Send(slices.data(), static_cast<int>(slices.size()));
            if (sent == kIoError) {
                ended = true;
                return;
            }
            while (sent > 0) {
                int left = queued[0].length - static_cast<int>(queuedOffset);
                if (sent >= left) {
                    sent -= left;
                    queued.erase(queued.begin());
                    queuedOffset = 0;
                } else {
                    queuedOffset += static_cast<size_t>(sent);
                    sent = 0;
                }
            }
        };
        for (int step = 0; step < 200 && !ended && in.remaining_bytes() > 0; ++step) {
            switch (in.ConsumeIntegralInRange<int>(0, 5)) {
                case 0: {  // a well-formed frame of a message, or a control frame
                    int kind = in.ConsumeIntegralInRange<int>(0, 3);
                    std::string payload = in.ConsumeRandomLengthString(kind >= 2 ? 125 : 3000);
                    for (char& c : payload) {
                        c = static_cast<char>(c & 0x7F);  // ASCII: text that is always valid
                    }
                    bool fin = in.ConsumeBool();
                    if (kind == 2) {
                        fake.Feed(s, ClientFrame(9, true, payload, true));  // ping
                    } else if (kind == 3) {
                        fake.Feed(s, ClientFrame(10, true, payload, true));  // pong
                    } else {
                        int opcode = inMessage ? 0 : (kind == 0 ? 1 : 2);
                        fake.Feed(s, ClientFrame(opcode, fin, payload, true));
                        message += payload;
                        inMessage = !fin;
                        if (fin) {
                            expected.push_back(message);
                            message.clear();
                        }
                    }
                    break;
                }
                case 1: {  // anything at all
                    std::string junk = in.ConsumeRandomLengthString(300);
                    if (!junk.empty()) {
                        fake.Feed(s, junk);
                        wellFormed = false;
                    }
                    break;
                }
                case 2: {  // a receive within an allowance
                    int length = in.ConsumeIntegralInRange<int>(1, 40000);
                    std::vector<char> buffer(static_cast<size_t>(length));
                    bool queuedBefore = !fake.At(s).inbound.empty();
                    bool buffered = connection.Pending();
                    int got = connection.Receive(buffer.data(), length);
                    CHECK(got <= length);
                    if (!queuedBefore && !buffered) {
                        CHECK(got <= 0);  // nothing held that it did not own up to
                    }
                    if (got > 0) {
                        handed.append(buffer.data(), static_cast<size_t>(got));
                    } else if (got == 0 || got == kIoError) {
                        ended = true;
                    }
                    break;
                }
                case 3: {  // a relayed message comes to be sent
                    if (!connection.Established()) {
                        break;
                    }
                    std::string text = in.ConsumeRandomLengthString(70000);
                    long long wire = WebSocketEncoding().WireSize(text.size());
                    if (wire > block->Room()) {
                        break;
                    }
                    if (!connection.FrameQueued(static_cast<int>(wire))) {
                        break;  // the heap refused: nothing was queued
                    }
                    int at = WebSocketEncoding().Write(*block, text.data(), text.size());
                    queued.push_back({block->Bytes() + at, static_cast<int>(wire)});
                    break;
                }
                case 4:  // a send that takes what the socket takes
                    fake.At(s).sendLimit = in.ConsumeIntegralInRange<int>(0, 5000);
                    sendQueued();
                    break;
                case 5:
                    fake.FeedCode(s, in.ConsumeBool() ? 0 : kIoError);
                    break;
            }
        }
        // The rest, handed over with no more bytes arriving, to a peer that
        // reads again (an answer may wait for its socket to take it, a close
        // for the end of a frame being sent).
        fake.At(s).sendLimit = INT_MAX;
        for (int i = 0; i < 100 && !ended && connection.Pending(); ++i) {
            sendQueued();
            char buffer[4096];
            int got = connection.Receive(buffer, sizeof buffer);
            if (got > 0) {
                handed.append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || got == kIoError) {
                ended = true;
            }
        }
        CHECK(ended || !connection.Pending());

        // What was handed over: whole frames, except one refused length at
        // the end, or one still arriving.
        std::vector<std::string> messages;
        size_t at = 0;
        bool refused = false;
        while (at < handed.size()) {
            frame::CutResult c = frame::Cut(
                reinterpret_cast<const unsigned char*>(handed.data()) + at, handed.size() - at);
            if (c.status == frame::CutStatus::kBadLength) {
                CHECK(handed.size() - at == static_cast<size_t>(frame::kHeaderSize));
                refused = true;
                break;
            }
            if (c.status == frame::CutStatus::kNeedMore) {
                break;
            }
            messages.push_back(
                handed.substr(at + frame::kHeaderSize, static_cast<size_t>(c.length)));
            at += frame::kHeaderSize + static_cast<size_t>(c.length);
        }
        if (wellFormed && !refused && connection.Established()) {
            // Every message handed over is one that was sent, in order.
            CHECK(messages.size() <= expected.size());
            for (size_t i = 0; i < messages.size(); ++i) {
                CHECK(messages[i] == expected[i]);
            }
        }

        // The server's bytes after its answer are clean frames; only the
        // last may be cut short by the socket.
        std::string sent = fake.At(s).sent;
        size_t end = sent.find("\r\n\r\n");
        if (connection.Established() && end != std::string::npos) {
            CHECK(CleanServerFrames(sent.substr(end + 4), true));
        }
        block->Release();
    }
    SetPlatform(nullptr);
    return 0;
}
