#include "tools/tovrel_client/frame_io.h"

#include <cstdint>

std::string EncodeFrame(const std::string& payload) {
    unsigned char header[frame::kHeaderSize];
    frame::EncodeLength(static_cast<std::int32_t>(payload.size()), header);
    std::string bytes(reinterpret_cast<const char*>(header), frame::kHeaderSize);
    bytes += payload;
    return bytes;
}

void CFrameReader::Feed(const char* data, std::size_t count) {
    // Drop what was consumed before growing, so the buffer stays near one frame.
    if (start_ > 0 && start_ * 2 >= buffer_.size()) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    buffer_.append(data, count);
}

CFrameReader::Result CFrameReader::Next(std::string* payload) {
    if (broken_) {
        return kBadLength;
    }
    if (Pending() < static_cast<std::size_t>(frame::kHeaderSize)) {
        return kNeedMore;
    }
    // As unsigned, so that every negative length is too long.
    const std::size_t length = static_cast<std::uint32_t>(
        frame::DecodeLength(reinterpret_cast<const unsigned char*>(buffer_.data() + start_)));
    if (length > maxPayload_) {
        broken_ = true;
        return kBadLength;
    }
    if (Pending() - frame::kHeaderSize < length) {
        return kNeedMore;
    }
    payload->assign(buffer_, start_ + frame::kHeaderSize, length);
    start_ += frame::kHeaderSize + length;
    return kFrame;
}
