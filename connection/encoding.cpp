#include "connection/encoding.h"

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
}  // namespace

const CEncoding& LengthFrameEncoding() {
    static const CLengthFrameEncoding encoding;
    return encoding;
}
