#pragma once

#include <cstddef>
#include <cstdint>

// The wire unit in both directions: a 4-byte signed little-endian payload
// length, then the payload. Shared by the server and the tools.
namespace frame {

constexpr int kHeaderSize = 4;
// The longest payload a client may announce.
constexpr std::uint32_t kMaxPayload = 131072;

inline void EncodeLength(std::int32_t length, unsigned char out[kHeaderSize]) {
    std::uint32_t v = static_cast<std::uint32_t>(length);
    out[0] = static_cast<unsigned char>(v & 0xFF);
    out[1] = static_cast<unsigned char>((v >> 8) & 0xFF);
    out[2] = static_cast<unsigned char>((v >> 16) & 0xFF);
    out[3] = static_cast<unsigned char>((v >> 24) & 0xFF);
}

inline std::int32_t DecodeLength(const unsigned char in[kHeaderSize]) {
    std::uint32_t v = static_cast<std::uint32_t>(in[0]) | (static_cast<std::uint32_t>(in[1]) << 8) |
                      (static_cast<std::uint32_t>(in[2]) << 16) |
                      (static_cast<std::uint32_t>(in[3]) << 24);
    return static_cast<std::int32_t>(v);
}

// A length is acceptable when, taken as unsigned, it does not exceed the
// maximum; so every negative length is refused.
inline bool LengthAllowed(std::int32_t length) {
    return static_cast<std::uint32_t>(length) <= kMaxPayload;
}

// What the bytes at the front of a receive buffer hold.
enum class CutStatus {
    kFrame,      // a complete frame: header plus `length` payload bytes
    kNeedMore,   // the header or the payload is not all there yet
    kBadLength,  // the announced length is out of range; the stream is lost
};

struct CutResult {
    CutStatus status;
    std::int32_t length;  // the payload length, for kFrame and kBadLength
};

// Looks at `available` bytes that begin at a frame boundary and tells what
// the first frame is. Pure: reads the bytes, allocates nothing.
inline CutResult Cut(const unsigned char* bytes, std::size_t available) {
    if (available < static_cast<std::size_t>(kHeaderSize)) {
        return {CutStatus::kNeedMore, 0};
    }
    std::int32_t length = DecodeLength(bytes);
    if (!LengthAllowed(length)) {
        return {CutStatus::kBadLength, length};
    }
    if (available - kHeaderSize < static_cast<std::size_t>(length)) {
        return {CutStatus::kNeedMore, length};
    }
    return {CutStatus::kFrame, length};
}

}  // namespace frame
