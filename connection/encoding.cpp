#include "connection/encoding.h"

#include "connection/utf8.h"

namespace {
class CLengthFrameEncoding : public CEncoding {
  public:
    long long WireSize(std::size_t length) const override {
        return CSharedBlock::FrameSize(length);
    }
    int Write(CSharedBlock& block, const char* text, std::size_t length) const override {
        return block.AppendFrame(text, length);
    }
    int Index() const override { return 0; }
};

class CWebSocketEncoding : public CEncoding {
  public:
    long long WireSize(std::size_t length) const override {
        long long frame = CSharedBlock::FrameSize(length);  // the block's bound
        return frame < 0 ? -1 : WebSocketHeaderSize(length) + static_cast<long long>(length);
    }
    int Write(CSharedBlock& block, const char* text, std::size_t length) const override {
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
        unsigned char header[10];
        // FIN, and the opcode: 1 text, 2 binary. Never masked: it is the server's.
        header[0] = IsValidUtf8(bytes, length) ? 0x81 : 0x82;
        int size = WebSocketHeaderSize(length);
        if (size == 2) {
            header[1] = static_cast<unsigned char>(length);
        } else if (size == 4) {
            header[1] = 126;
            header[2] = static_cast<unsigned char>(length >> 8);
            header[3] = static_cast<unsigned char>(length);
        } else {
            header[1] = 127;
            unsigned long long n = length;
            for (int i = 0; i < 8; ++i) {
                header[2 + i] = static_cast<unsigned char>(n >> (56 - 8 * i));
            }
        }
        int at = block.Append(header, static_cast<std::size_t>(size));
        block.Append(text, length);
        return at;
    }
    int Index() const override { return 1; }
};

// A framing's frames of tagged texts: the bytes are framed alike, the
// encoding is another so that they go into blocks of their own.
class CTaggedEncoding : public CEncoding {
  public:
    explicit CTaggedEncoding(const CEncoding& plain) : plain_(plain) {}
    long long WireSize(std::size_t length) const override { return plain_.WireSize(length); }
    int Write(CSharedBlock& block, const char* text, std::size_t length) const override {
        return plain_.Write(block, text, length);
    }
    int Index() const override { return kFramingCount + plain_.Index(); }

  private:
    const CEncoding& plain_;
};
}  // namespace

const CEncoding& TaggedEncoding(const CEncoding& plain) {
    static const CTaggedEncoding lengthFrames(LengthFrameEncoding());
    static const CTaggedEncoding webSocket(WebSocketEncoding());
    if (IsTagged(plain)) {
        return plain;
    }
    return plain.Index() == 0 ? static_cast<const CEncoding&>(lengthFrames) : webSocket;
}

int WebSocketHeaderSize(std::size_t length) {
    return length < 126 ? 2 : (length <= 0xFFFF ? 4 : 10);
}

const CEncoding& WebSocketEncoding() {
    static const CWebSocketEncoding encoding;
    return encoding;
}

const CEncoding& LengthFrameEncoding() {
    static const CLengthFrameEncoding encoding;
    return encoding;
}
