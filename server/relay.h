#pragma once

#include "server/message_sink.h"
#include "server/outgoing.h"
#include "stream/history.h"

// The room as this instance serves it: who is in it, the last
// kHistoryLength relayed messages, and the relay of one message to all of
// them, the sender included, written once per encoding. Alone, it is the
// sink of the clients' messages.
class CRelay final : public CMessageSink {
  public:
    constexpr CRelay() : history{}, first_(nullptr) {}
    CRelay(const CRelay&) = delete;
    CRelay& operator=(const CRelay&) = delete;

    // Adds a newcomer and queues the history for it, oldest first; while
    // the history is awaited, it gets it once it is known.
    void Join(CParticipant* participant);
    void Leave(CParticipant* participant);

    // Relays one message to everyone and keeps it in the history. Takes
    // ownership of `message` (a malloc'd NUL-terminated text).
    void Broadcast(char* message);
    // The same, at the room's `position` for it (its stream id).
    void Broadcast(char* message, const char* position);
    void Take(char* message) override { Broadcast(message); }
    // Stores a message as the newest history entry without sending it,
    // pushing the oldest out; takes ownership.
    void KeepInHistory(char* message);
    void ClearHistory();

    // The history is the room's and not known yet (a room joined through
    // Redis, before its last messages are read): newcomers wait for it.
    void AwaitHistory() { historyAwaited_ = true; }
    // Makes `messages` (oldest first, `count` of them, possibly none) the
    // history, taking ownership, without relaying them. When it was
    // awaited, everyone in the room joined before it was known and gets it
    // now, before any relayed message.
    void SetHistory(char** messages, std::size_t count);
    // The same, each message at the room's position of the same index.
    void SetHistory(char** messages, const char* const* positions, std::size_t count);

    // The last relayed messages, newest first; each is the heap buffer
    // received for it, owned here until pushed out.
    char* history[kHistoryLength];

  private:
    // Queues the history for `participant`, oldest first.
    void Replay(CParticipant* participant) const;

    CRelayBlocks blocks_;
    CParticipant* first_;
    bool historyAwaited_ = false;
};
