// The NATS text protocol, as little of it as the fan-out needs: every client
// subscribes to one subject and publishes on it; echo on, so a publisher
// gets its own messages as tovrel's senders do.
#include <cstring>

#include "wire.h"

namespace {

constexpr char kSubject[] = "bench";
// Longer than any control line the server sends while the bench runs.
constexpr std::size_t kMaxLine = 16384;

bool StartsWith(const unsigned char* line, std::size_t length, const char* word) {
    std::size_t n = std::strlen(word);
    return length >= n && std::memcmp(line, word, n) == 0;
}

class NatsWire : public Wire {
  public:
    void AppendHello(std::string& out, Role) const override {
        // The PING's PONG tells that the SUB before it is in place.
        out.append("CONNECT {\"verbose\":false,\"pedantic\":false,\"echo\":true}\r\nSUB ");
        out.append(kSubject);
        out.append(" 1\r\nPING\r\n");
    }

    void AppendPublish(std::string& out, const std::string& payload) const override {
        out.append("PUB ");
        out.append(kSubject);
        out.append(" ");
        out.append(std::to_string(payload.size()));
        out.append("\r\n");
        out.append(payload);
        out.append("\r\n");
    }

    WireEvent Cut(const unsigned char* bytes, std::size_t available, Role) const override {
        std::size_t end = LineEnd(bytes, available);
        if (end == kLineIncomplete) {
            return Event(available > kMaxLine ? WireEvent::Kind::kBad : WireEvent::Kind::kNeedMore);
        }
        if (end == kLineBroken) {
            return Event(WireEvent::Kind::kBad);
        }
        std::size_t line = end + 2;
        if (StartsWith(bytes, end, "MSG ")) {
            // MSG <subject> <sid> [reply-to] <#bytes>: the size is the last field.
            const unsigned char* last = bytes + end;
            while (last > bytes && last[-1] != ' ') {
                --last;
            }
            long long size = ParseDecimal(last, bytes + end);
            if (size < 0) {
                return Event(WireEvent::Kind::kBad);
            }
            std::size_t total = line + static_cast<std::size_t>(size) + 2;
            if (available < total) {
                return Event(WireEvent::Kind::kNeedMore);
            }
            return {WireEvent::Kind::kMessage, total, bytes + line, static_cast<std::size_t>(size)};
        }
        if (StartsWith(bytes, end, "PING")) {
            static const unsigned char kPong[] = "PONG\r\n";
            return {WireEvent::Kind::kAnswer, line, kPong, sizeof kPong - 1};
        }
        if (StartsWith(bytes, end, "PONG")) {
            return {WireEvent::Kind::kReady, line, nullptr, 0};
        }
        if (StartsWith(bytes, end, "-ERR")) {
            return Event(WireEvent::Kind::kBad);
        }
        return {WireEvent::Kind::kOther, line, nullptr, 0};  // INFO, +OK
    }

  private:
    static WireEvent Event(WireEvent::Kind kind) { return {kind, 0, nullptr, 0}; }
};

}  // namespace

namespace {
// The same protocol inside WebSocket frames.
class NatsWebSocketWire : public NatsWire {
  public:
    void AppendHello(std::string& out, Role) const override { AppendUpgrade(out); }
    void AppendAfterUpgrade(std::string& out, Role role) const override {
        std::string hello;
        NatsWire::AppendHello(hello, role);
        AppendRaw(out, reinterpret_cast<const unsigned char*>(hello.data()), hello.size());
    }
    void AppendPublish(std::string& out, const std::string& payload) const override {
        std::string publish;
        NatsWire::AppendPublish(publish, payload);
        AppendRaw(out, reinterpret_cast<const unsigned char*>(publish.data()), publish.size());
    }
    void AppendRaw(std::string& out, const unsigned char* bytes,
                   std::size_t length) const override {
        AppendClientFrame(out, 2, bytes, length);
    }
    bool Unframes() const override { return true; }
};
}  // namespace

std::unique_ptr<Wire> MakeNatsWebSocketWire() {
    return std::make_unique<NatsWebSocketWire>();
}

std::unique_ptr<Wire> MakeNatsWire() {
    return std::make_unique<NatsWire>();
}
