#pragma once

#include <cstddef>
#include <string>

#include "stream/frame.h"

// One payload as the bytes of a frame, ready to send.
std::string EncodeFrame(const std::string& payload);

// The longest payload a resumed client receives: a message of the longest
// length with its position (at most 41 bytes) and a space in front.
constexpr std::size_t kMaxTaggedPayload = frame::kMaxPayload + 42;

// Collects bytes as they arrive from the socket, however they are split, and
// cuts whole frames out of them in order. A length that no server may send
// (negative, or above the most allowed: frame::kMaxPayload unless told
// otherwise) stops the reader for good.
class CFrameReader {
  public:
    enum Result { kNeedMore, kFrame, kBadLength };

    // Frames up to `maxPayload` bytes are allowed from now on.
    void AllowUpTo(std::size_t maxPayload) { maxPayload_ = maxPayload; }

    void Feed(const char* data, std::size_t count);
    // kFrame with the payload in *payload; kNeedMore until a frame is complete.
    Result Next(std::string* payload);
    // Bytes received but not yet returned as a frame.
    std::size_t Pending() const { return buffer_.size() - start_; }

  private:
    std::string buffer_;
    std::size_t start_ = 0;  // where the next frame begins in buffer_
    bool broken_ = false;
    std::size_t maxPayload_ = frame::kMaxPayload;
};
