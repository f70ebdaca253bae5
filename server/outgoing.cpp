#include "server/outgoing.h"

namespace {
constexpr int kRelayBlockSize = 65536;
}  // namespace

CRelayBlocks::~CRelayBlocks() {
    for (CSharedBlock*& block : blocks_) {
        if (block != nullptr) {
            block->Release();
            block = nullptr;
        }
    }
}

CSharedBlock* CRelayBlocks::Write(const CEncoding& encoding, const char* text, std::size_t length,
                                  int size, int* at) {
    CSharedBlock*& current = blocks_[encoding.Index()];
    if (current != nullptr) {
        current->Rewind();  // succeeds when no queue holds any of it
        if (current->Room() < size) {
            current->Release();
            current = nullptr;
        }
    }
    if (current == nullptr) {
        current = CSharedBlock::Make(size > kRelayBlockSize ? size : kRelayBlockSize);
        if (current == nullptr) {
            return nullptr;
        }
    }
    *at = encoding.Write(*current, text, length);
    return current;
}

void COutgoing::Frame(const CEncoding& encoding, CSharedBlock** block, int* at, int* size) {
    int i = encoding.Index();
    if (i >= kFramingCount) {
        i -= kFramingCount;
        *block = tagged_.block[i];
        *at = tagged_.at[i];
        *size = tagged_.size[i];
        return;
    }
    if (!written_[i]) {
        written_[i] = true;
        long long wire = encoding.WireSize(length_);
        size_[i] = wire > 0 ? static_cast<int>(wire) : 0;
        if (wire > 0 && wire <= kMaxQueuedOutput) {
            block_[i] = blocks_.Write(encoding, text_, length_, size_[i], &at_[i]);
        }
    }
    *block = block_[i];
    *at = at_[i];
    *size = size_[i];
}
