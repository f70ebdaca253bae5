#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "policy/memory_budget.h"
#include "server/message_sink.h"
#include "server/outgoing.h"
#include "server/position.h"
#include "server/resume_window.h"
#include "stream/history.h"

// Most kept messages one replay queues in one turn, and all replays
// together in one pass, so a storm of resumes keeps the pass bounded.
constexpr int kReplayFramesPerTurn = 1024;
constexpr int kReplayFramesPerPass = 65536;

// The room as this instance serves it: who is in it, the last
// kHistoryLength relayed messages, and the relay of one message to all of
// them, the sender included, written once per encoding. Alone, it is the
// sink of the clients' messages. With resumes enabled it also keeps the
// last relayed messages with their positions (the window) and replays
// them to a participant that asks: a bounded part per turn from its
// cursor, while its output is short; what is relayed meanwhile reaches it
// through the cursor, then "@RESUMED", then every message tagged.
class CRelay final : public CMessageSink {
  public:
    constexpr CRelay() : history{}, first_(nullptr) {}
    CRelay(const CRelay&) = delete;
    CRelay& operator=(const CRelay&) = delete;

    // Keeps the last `window` relayed messages for resumes (0: none, and
    // "@RESUME" is an ordinary message), within `memory`. Alone, positions
    // are made with `epoch` as their major. Only with nobody in the room.
    void EnableResume(std::size_t window, std::uint64_t epoch, CMemoryBudget& memory);
    bool Resumable() const { return window_ != nullptr; }

    // Adds a newcomer and queues the history for it, oldest first; while
    // the history is awaited, it gets it once it is known.
    void Join(CParticipant* participant);
    void Leave(CParticipant* participant);

    // Relays one message to everyone and keeps it in the history. Takes
    // ownership of `message` (a malloc'd NUL-terminated text). `position`
    // is the room's for it; null (or not one), and the relay makes one.
    void Broadcast(char* message, const char* position);
    void Broadcast(char* message) { Broadcast(message, nullptr); }
    void Take(char* message) override { Broadcast(message); }
    // Stores a message as the newest history entry without sending it,
    // pushing the oldest out; takes ownership.
    void KeepInHistory(char* message);
    void ClearHistory();

    // The history is the room's and not known yet (a room joined through
    // Redis, before its last messages are read): newcomers wait for it,
    // and so do resumes.
    void AwaitHistory() {
        historyAwaited_ = true;
        roomPositions_ = true;
    }
    // Makes `messages` (oldest first, `count` of them, possibly none) the
    // window with their `positions` (copied; null: made here), and the
    // last kHistoryLength of them the history, taking ownership of the
    // texts, without relaying them. When it was awaited, everyone in the
    // room joined before it was known gets it now, before any relayed
    // message, and waiting resumes go on.
    void SetHistory(char** messages, const char* const* positions, std::size_t count);
    void SetHistory(char** messages, std::size_t count) { SetHistory(messages, nullptr, count); }

    // "@RESUME" from `participant`, with the text after its space (null:
    // none): its replay starts here (once the room's history is known),
    // and goes on in its turns; asked again, it starts over.
    void Resume(CParticipant* participant, const char* position);
    // In a replaying participant's turn: queues more of its replay while
    // its output is short, within this turn's and this pass's share; once
    // it has caught up, "@RESUMED NEWEST REPLAYED MISSED".
    void ContinueReplay(CParticipant* participant);
    // A new pass: the replays' share starts again.
    void NewPass() { replayLeft_ = kReplayFramesPerPass; }

    // The last relayed messages, newest first; each is the heap buffer
    // received for it, owned here until pushed out.
    char* history[kHistoryLength];

  private:
    // Queues the history for `participant`, oldest first.
    void Replay(CParticipant* participant) const;
    // The position of the next message: the room's, or the next one made here.
    CPosition PositionFor(const char* position);
    // Where a replay asked for starts, and what it knows of what was missed.
    void StartReplay(CReplayState& replay);
    void FinishReplay(CParticipant* participant);

    CRelayBlocks blocks_;
    CParticipant* first_;
    bool historyAwaited_ = false;
    std::unique_ptr<CResumeWindow> window_;
    // The last position made here (major: this run's epoch).
    CPosition lone_;
    // Positions come from the room, not from here.
    bool roomPositions_ = false;
    int replayLeft_ = kReplayFramesPerPass;
};
