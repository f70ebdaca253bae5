#include "server/relay.h"

#include <cinttypes>
#include <cstdio>
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

void CRelay::EnableResume(std::size_t window, std::uint64_t epoch, CMemoryBudget& memory) {
    window_.reset();
    if (window > 0) {
        window_.reset(new CResumeWindow(window, memory));
    }
    lone_ = CPosition{epoch, 0};
    roomPositions_ = historyAwaited_;
}

CPosition CRelay::PositionFor(const char* position) {
    CPosition at;
    if (position != nullptr && ParsePosition(position, std::strlen(position), &at)) {
        roomPositions_ = true;
        return at;
    }
    ++lone_.minor;
    return lone_;
}

void CRelay::SetHistory(char** messages, const char* const* positions, std::size_t count) {
    ClearHistory();
    if (window_ != nullptr) {
        window_->Clear();
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (window_ != nullptr && messages[i][0] != '\0') {
            window_->Keep(PositionFor(positions != nullptr ? positions[i] : nullptr), messages[i],
                          std::strlen(messages[i]), blocks_);
        }
        KeepInHistory(messages[i]);  // frees what is older than the history
    }
    if (!historyAwaited_) {
        return;
    }
    historyAwaited_ = false;
    for (CParticipant* p = first_; p != nullptr; p = p->nextInRoom_) {
        Replay(p);
        if (p->replay_.stage == CReplayState::kAsked) {
            StartReplay(p->replay_);  // from the window as it is now
        }
    }
}

void CRelay::Broadcast(char* message, const char* position) {
    KeepInHistory(message);
    if (message[0] == '\0') {
        return;  // kept, but an empty text is never sent
    }
    ++g_metrics.messagesRelayed;
    std::size_t length = std::strlen(message);
    COutgoing outgoing(blocks_, message, length);
    if (window_ != nullptr) {
        outgoing.SetTagged(window_->Keep(PositionFor(position), message, length, blocks_));
    }
    for (CParticipant* p = first_; p != nullptr; p = p->nextInRoom_) {
        p->Deliver(outgoing);
    }
}

void CRelay::Resume(CParticipant* participant, const char* position) {
    CReplayState& r = participant->replay_;
    r.stage = CReplayState::kAsked;
    r.hasFrom = position != nullptr;
    r.fromValid = position != nullptr && ParsePosition(position, std::strlen(position), &r.from);
    // Started now, so nothing relayed from here on passes it by; before the
    // room's history is known, it starts with it.
    if (window_ != nullptr && !historyAwaited_) {
        StartReplay(r);
    }
}

void CRelay::StartReplay(CReplayState& r) {
    const CResumeWindow& w = *window_;
    r.stage = CReplayState::kReplaying;
    // Without a position, or with one not known here: the history, tagged.
    std::uint64_t held = w.End() - w.Oldest();
    r.cursor = w.End() - (held < kHistoryLength ? held : kHistoryLength);
    r.replayed = 0;
    r.missed = 0;
    r.missedKnown = !r.hasFrom;
    CPosition newest;
    if (!r.fromValid || !w.Newest(&newest) || newest < r.from) {
        return;
    }
    std::uint64_t next = w.After(r.from);
    if (!roomPositions_ && r.from.major == lone_.major) {
        // Every message made here has the next minor, so what left the
        // window before the position's successor is counted.
        std::uint64_t oldest =
            w.Oldest() != w.End() ? w.PositionOf(w.Oldest()).minor : lone_.minor + 1;
        r.cursor = next;
        r.missedKnown = true;
        r.missed = r.from.minor + 1 < oldest ? oldest - 1 - r.from.minor : 0;
        return;
    }
    // The room's: only a position held here (or the newest) tells where
    // the client stands.
    if ((next > w.Oldest() && w.PositionOf(next - 1) == r.from) || newest == r.from) {
        r.cursor = next;
        r.missedKnown = true;
    }
}

void CRelay::ContinueReplay(CParticipant* p) {
    CReplayState& r = p->replay_;
    if (!p->Replaying() || window_ == nullptr) {
        return;  // a resume asked before the room's history waits for it
    }
    const CResumeWindow& w = *window_;
    int framing = p->Encoding().Index() % kFramingCount;
    int turn = kReplayFramesPerTurn;
    for (;;) {
        if (r.cursor < w.Oldest()) {
            r.missed += w.Oldest() - r.cursor;  // pushed out before the cursor came
            r.cursor = w.Oldest();
        }
        if (r.cursor == w.End()) {
            FinishReplay(p);
            return;
        }
        if (turn == 0 || replayLeft_ == 0 || !p->WantsMore()) {
            return;
        }
        const CTaggedFrames& frames = w.FramesOf(r.cursor);
        CSharedBlock* block = frames.block[framing];
        int at = frames.at[framing];
        int size = frames.size[framing];
        // The room made for it may push its own entry out of the window.
        if (block != nullptr) {
            block->Retain();
        }
        p->Queue(block, at, size);
        if (block != nullptr) {
            block->Release();
        }
        ++r.cursor;
        ++r.replayed;
        --turn;
        --replayLeft_;
    }
}

void CRelay::FinishReplay(CParticipant* p) {
    CReplayState& r = p->replay_;
    char newest[kPositionTextSize] = "-";
    CPosition at;
    if (window_->Newest(&at)) {
        FormatPosition(at, newest);
    }
    char missed[24] = "?";
    if (r.missedKnown) {
        std::snprintf(missed, sizeof missed, "%" PRIu64, r.missed);
    }
    char line[sizeof "@RESUMED " + kPositionTextSize + 2 * 24];
    std::snprintf(line, sizeof line, "@RESUMED %s %" PRIu64 " %s", newest, r.replayed, missed);
    r.stage = CReplayState::kLive;
    p->Replay(line);
    g_metrics.Resumed(!r.missedKnown ? ResumeOutcome::kUnknown
                      : r.missed > 0 ? ResumeOutcome::kMissed
                                     : ResumeOutcome::kReplayed,
                      r.replayed);
}
