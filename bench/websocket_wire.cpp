// WebSocket as the bench's clients speak it: tovrel's WebSocket clients,
// one message per frame, and the framing that NATS over WebSocket rides in.
#include <cstring>

#include "wire.h"

void AppendUpgrade(std::string& out) {
    out.append(
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
}

void AppendClientFrame(std::string& out, int opcode, const unsigned char* bytes,
                       std::size_t length) {
    out.push_back(static_cast<char>(0x80 | opcode));
    if (length < 126) {
        out.push_back(static_cast<char>(0x80 | length));
    } else if (length <= 0xFFFF) {
        out.push_back(static_cast<char>(0x80 | 126));
        out.push_back(static_cast<char>(length >> 8));
        out.push_back(static_cast<char>(length & 0xFF));
    } else {
        out.push_back(static_cast<char>(0x80 | 127));
        for (int i = 7; i >= 0; --i) {
            out.push_back(
                static_cast<char>((static_cast<unsigned long long>(length) >> (8 * i)) & 0xFF));
        }
    }
    out.append(4, '\0');  // a zero mask key: masking changes nothing
    out.append(reinterpret_cast<const char*>(bytes), length);
}

std::size_t CutServerFrame(const unsigned char* bytes, std::size_t available, int* opcode,
                           const unsigned char** payload, std::size_t* length) {
    if (available < 2) {
        return 0;
    }
    std::size_t header = 2;
    unsigned long long n = bytes[1] & 0x7F;
    if (n >= 126) {
        header += n == 126 ? 2 : 8;
        if (available < header) {
            return 0;
        }
        n = 0;
        for (std::size_t i = 2; i < header; ++i) {
            n = (n << 8) | bytes[i];
        }
    }
    if (available - header < n) {
        return 0;
    }
    *opcode = bytes[0] & 0x0F;
    *payload = bytes + header;
    *length = static_cast<std::size_t>(n);
    return header + static_cast<std::size_t>(n);
}

std::size_t CutHttpAnswer(const unsigned char* bytes, std::size_t available, bool* upgraded) {
    for (std::size_t i = 0; i + 3 < available; ++i) {
        if (std::memcmp(bytes + i, "\r\n\r\n", 4) == 0) {
            *upgraded = available >= 13 && std::memcmp(bytes, "HTTP/1.1 101 ", 13) == 0;
            return i + 4;
        }
    }
    return 0;
}

namespace {

// Longer than any HTTP answer the server sends.
constexpr std::size_t kMaxAnswer = 16384;

class WebSocketWire : public Wire {
  public:
    void AppendHello(std::string& out, Role) const override { AppendUpgrade(out); }

    void AppendPublish(std::string& out, const std::string& payload) const override {
        AppendClientFrame(out, 1, reinterpret_cast<const unsigned char*>(payload.data()),
                          payload.size());
    }

    void AppendRaw(std::string& out, const unsigned char* bytes,
                   std::size_t length) const override {
        AppendClientFrame(out, 1, bytes, length);
    }

    WireEvent Cut(const unsigned char* bytes, std::size_t available, Role) const override {
        if (available >= 5 && std::memcmp(bytes, "HTTP/", 5) == 0) {
            bool upgraded = false;
            std::size_t answer = CutHttpAnswer(bytes, available, &upgraded);
            if (answer == 0) {
                return Event(available > kMaxAnswer ? WireEvent::Kind::kBad
                                                    : WireEvent::Kind::kNeedMore);
            }
            // Taken and upgraded: the history and relayed messages follow.
            return upgraded ? WireEvent{WireEvent::Kind::kReady, answer, nullptr, 0}
                            : Event(WireEvent::Kind::kBad);
        }
        int opcode = 0;
        const unsigned char* payload = nullptr;
        std::size_t length = 0;
        std::size_t frame = CutServerFrame(bytes, available, &opcode, &payload, &length);
        if (frame == 0) {
            return Event(WireEvent::Kind::kNeedMore);
        }
        if (opcode == 1 || opcode == 2) {
            return {WireEvent::Kind::kMessage, frame, payload, length};
        }
        if (opcode == 8) {
            return Event(WireEvent::Kind::kBad);  // closed by the server
        }
        return {WireEvent::Kind::kOther, frame, nullptr, 0};
    }

  private:
    static WireEvent Event(WireEvent::Kind kind) { return {kind, 0, nullptr, 0}; }
};

}  // namespace

std::unique_ptr<Wire> MakeWebSocketWire() {
    return std::make_unique<WebSocketWire>();
}
