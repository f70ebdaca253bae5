#include "wire.h"

#include <cstring>

#include "stream/frame.h"

namespace {

class FramedWire : public Wire {
  public:
    void AppendPublish(std::string& out, const std::string& payload) const override {
        unsigned char header[frame::kHeaderSize];
        frame::EncodeLength(static_cast<std::int32_t>(payload.size()), header);
        out.append(reinterpret_cast<const char*>(header), sizeof header);
        out.append(payload);
    }

    WireEvent Cut(const unsigned char* bytes, std::size_t available, Role) const override {
        frame::CutResult cut = frame::Cut(bytes, available);
        if (cut.status == frame::CutStatus::kNeedMore) {
            return {WireEvent::Kind::kNeedMore, 0, nullptr, 0};
        }
        if (cut.status == frame::CutStatus::kBadLength) {
            // Out of step: bytes of different frames were interleaved.
            return {WireEvent::Kind::kBad, 0, nullptr, 0};
        }
        std::size_t length = static_cast<std::size_t>(cut.length);
        return {WireEvent::Kind::kMessage, frame::kHeaderSize + length, bytes + frame::kHeaderSize,
                length};
    }

    bool ReadyFromConsole() const override { return true; }
};

// A resuming client of tovrel: "@RESUME" first; then every message comes as
// its position, a space and the text, and the server's own frames begin
// with "@". Messages come only after every client is in, so none of them
// precedes the resume.
class ResumingFramedWire : public FramedWire {
  public:
    void AppendHello(std::string& out, Role) const override { AppendPublish(out, "@RESUME"); }

    WireEvent Cut(const unsigned char* bytes, std::size_t available, Role role) const override {
        WireEvent event = FramedWire::Cut(bytes, available, role);
        if (event.kind != WireEvent::Kind::kMessage) {
            return event;
        }
        if (event.length > 0 && event.payload[0] == '@') {
            event.kind = WireEvent::Kind::kOther;
            return event;
        }
        const void* space = std::memchr(event.payload, ' ', event.length);
        if (space == nullptr) {
            return {WireEvent::Kind::kBad, 0, nullptr, 0};  // untagged
        }
        std::size_t tag = static_cast<const unsigned char*>(space) - event.payload + 1;
        event.payload += tag;
        event.length -= tag;
        return event;
    }
};

}  // namespace

std::unique_ptr<Wire> MakeFramedWire() {
    return std::make_unique<FramedWire>();
}

std::unique_ptr<Wire> MakeWire(ServerProcess::Kind kind) {
    switch (kind) {
        case ServerProcess::Kind::kNats:
            return MakeNatsWire();
        case ServerProcess::Kind::kRedis:
            return MakeRedisWire();
        case ServerProcess::Kind::kTovrelWs:
            return MakeWebSocketWire();
        case ServerProcess::Kind::kNatsWs:
            return MakeNatsWebSocketWire();
        case ServerProcess::Kind::kTovrel:
            if (BenchResumeWindow() > 0) {
                return std::make_unique<ResumingFramedWire>();
            }
            return MakeFramedWire();
        default:
            return MakeFramedWire();
    }
}

std::size_t LineEnd(const unsigned char* bytes, std::size_t available) {
    const void* nl = available > 0 ? std::memchr(bytes, '\n', available) : nullptr;
    if (nl == nullptr) {
        return kLineIncomplete;
    }
    std::size_t at = static_cast<std::size_t>(static_cast<const unsigned char*>(nl) - bytes);
    return at > 0 && bytes[at - 1] == '\r' ? at - 1 : kLineBroken;
}

long long ParseDecimal(const unsigned char* begin, const unsigned char* end) {
    if (begin == end || end - begin > 18) {
        return -1;
    }
    long long value = 0;
    for (const unsigned char* p = begin; p < end; ++p) {
        if (*p < '0' || *p > '9') {
            return -1;
        }
        value = value * 10 + (*p - '0');
    }
    return value;
}
