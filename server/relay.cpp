#include "server/relay.h"

#include <cstdlib>
#include <cstring>

namespace {
// A relay block is written from the front again once no queue holds any of it.
constexpr int kRelayBlockSize = 65536;
}  // namespace

COutgoing::COutgoing(CRelay& relay, const char* text, std::size_t length)
    : relay_(relay), text_(text), length_(length) {}

void COutgoing::Frame(const CEncoding& encoding, CSharedBlock** block, int* at, int* size) {
    int i = encoding.Index();
    if (!written_[i]) {
        written_[i] = true;
        long long wire = encoding.WireSize(length_);
        size_[i] = wire > 0 ? static_cast<int>(wire) : 0;
        if (wire > 0 && wire <= kMaxQueuedOutput) {
            relay_.Write(encoding, text_, length_, size_[i], &at_[i], &block_[i]);
        }
    }
    *block = block_[i];
    *at = at_[i];
    *size = size_[i];
}

CRelay::~CRelay() {
    for (CSharedBlock*& block : blocks_) {
        if (block != nullptr) {
            block->Release();
            block = nullptr;
        }
    }
}

void CRelay::Join(CParticipant* p) {
    p->prevInRoom_ = nullptr;
    p->nextInRoom_ = first_;
    if (first_ != nullptr) {
        first_->prevInRoom_ = p;
    }
    first_ = p;
    for (int i = 2; i >= 0; --i) {
        if (history[i] != nullptr) {
            p->Replay(history[i]);
        }
    }
}

void CRelay::Leave(CParticipant* p) {
    if (p->nextInRoom_ != nullptr) {
        p->nextInRoom_->prevInRoom_ = p->prevInRoom_;
    }
    if (p->prevInRoom_ != nullptr) {
        p->prevInRoom_->nextInRoom_ = p->nextInRoom_;
    } else if (first_ == p) {
        first_ = p->nextInRoom_;
    }
    p->nextInRoom_ = p->prevInRoom_ = nullptr;
}

void CRelay::KeepInHistory(char* message) {
    std::free(history[2]);
    history[2] = history[1];
    history[1] = history[0];
    history[0] = message;
}

void CRelay::ClearHistory() {
    for (char*& entry : history) {
        std::free(entry);
        entry = nullptr;
    }
}

bool CRelay::Write(const CEncoding& encoding, const char* text, std::size_t length, int size,
                   int* at, CSharedBlock** block) {
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
            return false;
        }
    }
    *at = encoding.Write(*current, text, length);
    *block = current;
    return true;
}

void CRelay::Broadcast(char* message) {
    KeepInHistory(message);
    if (message[0] == '\0') {
        return;  // kept, but an empty text is never sent
    }
    COutgoing outgoing(*this, message, std::strlen(message));
    for (CParticipant* p = first_; p != nullptr; p = p->nextInRoom_) {
        p->Deliver(outgoing);
    }
}
