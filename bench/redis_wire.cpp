// RESP, as little of it as the fan-out needs. A subscribed connection may
// not publish, so each bench client has a subscriber and a publisher
// connection; every subscriber, the sender's included, gets every message.
#include <cstring>

#include "wire.h"

namespace {

constexpr char kChannel[] = "bench";
constexpr std::size_t kMaxLine = 16384;
constexpr int kMaxElements = 3;

void AppendBulk(std::string& out, const char* bytes, std::size_t length) {
    out.append("$");
    out.append(std::to_string(length));
    out.append("\r\n");
    out.append(bytes, length);
    out.append("\r\n");
}

struct Span {
    const unsigned char* bytes = nullptr;
    std::size_t length = 0;

    bool Is(const char* word) const {
        return length == std::strlen(word) && std::memcmp(bytes, word, length) == 0;
    }
};

class RedisWire : public Wire {
  public:
    std::vector<Role> Roles() const override { return {Role::kSubscriber, Role::kPublisher}; }

    void AppendHello(std::string& out, Role role) const override {
        if (role == Role::kSubscriber) {
            out.append("*2\r\n");
            AppendBulk(out, "SUBSCRIBE", 9);
            AppendBulk(out, kChannel, sizeof kChannel - 1);
        }
    }

    void AppendPublish(std::string& out, const std::string& payload) const override {
        out.append("*3\r\n");
        AppendBulk(out, "PUBLISH", 7);
        AppendBulk(out, kChannel, sizeof kChannel - 1);
        AppendBulk(out, payload.data(), payload.size());
    }

    // A publisher reads ":<receivers>" replies; a subscriber reads arrays of
    // bulk strings and integers: ["message", channel, payload] or
    // ["subscribe", channel, count].
    WireEvent Cut(const unsigned char* bytes, std::size_t available, Role) const override {
        std::size_t end = LineEnd(bytes, available);
        if (end == kLineIncomplete) {
            return Event(available > kMaxLine ? WireEvent::Kind::kBad : WireEvent::Kind::kNeedMore);
        }
        if (end == kLineBroken || end == 0 || bytes[0] == '-') {
            return Event(WireEvent::Kind::kBad);
        }
        if (bytes[0] == ':' || bytes[0] == '+') {
            return {WireEvent::Kind::kOther, end + 2, nullptr, 0};
        }
        long long count = ParseDecimal(bytes + 1, bytes + end);
        if (bytes[0] != '*' || count < 1 || count > kMaxElements) {
            return Event(WireEvent::Kind::kBad);
        }
        Span element[kMaxElements];
        std::size_t at = end + 2;
        for (long long i = 0; i < count; ++i) {
            std::size_t lineEnd = LineEnd(bytes + at, available - at);
            if (lineEnd == kLineIncomplete) {
                return Event(WireEvent::Kind::kNeedMore);
            }
            if (lineEnd == kLineBroken || lineEnd == 0) {
                return Event(WireEvent::Kind::kBad);
            }
            const unsigned char* line = bytes + at;
            if (line[0] == ':') {
                element[i] = {line + 1, lineEnd - 1};
                at += lineEnd + 2;
                continue;
            }
            long long size = ParseDecimal(line + 1, line + lineEnd);
            if (line[0] != '$' || size < 0) {
                return Event(WireEvent::Kind::kBad);
            }
            std::size_t dataAt = at + lineEnd + 2;
            if (available < dataAt + static_cast<std::size_t>(size) + 2) {
                return Event(WireEvent::Kind::kNeedMore);
            }
            element[i] = {bytes + dataAt, static_cast<std::size_t>(size)};
            at = dataAt + static_cast<std::size_t>(size) + 2;
        }
        if (count == 3 && element[0].Is("message")) {
            return {WireEvent::Kind::kMessage, at, element[2].bytes, element[2].length};
        }
        if (element[0].Is("subscribe")) {
            return {WireEvent::Kind::kReady, at, nullptr, 0};
        }
        return {WireEvent::Kind::kOther, at, nullptr, 0};
    }

  private:
    static WireEvent Event(WireEvent::Kind kind) { return {kind, 0, nullptr, 0}; }
};

}  // namespace

std::unique_ptr<Wire> MakeRedisWire() {
    return std::make_unique<RedisWire>();
}
