#include "server/relay.h"

#include <cstdlib>
#include <cstring>

#include "metrics/counters.h"

void CRelay::Join(CParticipant* p) {
    p->prevInRoom_ = nullptr;
    p->nextInRoom_ = first_;
    if (first_ != nullptr) {
        first_->prevInRoom_ = p;
    }
    first_ = p;
    if (historyAwaited_) {
        return;  // queued by SetHistory once it is known
    }
    Replay(p);
}

void CRelay::Replay(CParticipant* p) const {
    for (std::size_t i = kHistoryLength; i-- > 0;) {
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
    std::free(history[kHistoryLength - 1]);
    for (std::size_t i = kHistoryLength - 1; i > 0; --i) {
        history[i] = history[i - 1];
    }
    history[0] = message;
}

void CRelay::ClearHistory() {
    for (char*& entry : history) {
        std::free(entry);
        entry = nullptr;
    }
}

void CRelay::SetHistory(char** messages, std::size_t count) {
    ClearHistory();
    for (std::size_t i = 0; i < count; ++i) {
        KeepInHistory(messages[i]);
    }
    if (!historyAwaited_) {
        return;
    }
    historyAwaited_ = false;
    for (CParticipant* p = first_; p != nullptr; p = p->nextInRoom_) {
        Replay(p);
    }
}

void CRelay::Broadcast(char* message) {
    KeepInHistory(message);
    if (message[0] == '\0') {
        return;  // kept, but an empty text is never sent
    }
    ++g_metrics.messagesRelayed;
    COutgoing outgoing(blocks_, message, std::strlen(message));
    for (CParticipant* p = first_; p != nullptr; p = p->nextInRoom_) {
        p->Deliver(outgoing);
    }
}

// Positions are kept by the resume window; without it they are not needed.
void CRelay::Broadcast(char* message, const char*) {
    Broadcast(message);
}

void CRelay::SetHistory(char** messages, const char* const*, std::size_t count) {
    SetHistory(messages, count);
}
