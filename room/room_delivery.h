#pragma once

#include <cstddef>

// Where a room's messages go in this instance: the link hands over each
// entry it reads, in stream order, and the room's last messages when it
// learns them. Every text is a NUL-terminated heap buffer whose ownership
// passes with it. A message's position is its stream id as Redis gives it
// ("1765360000000-0"), the same on every instance; it is only lent, for
// the call.
class CRoomDelivery {
  public:
    // Relays one message to every local client and keeps it in the history.
    virtual void Deliver(char* message, const char* position) = 0;
    // Makes `messages` (oldest first, `count` of them, possibly none, each
    // at the position of the same index) the history, without sending them.
    virtual void ReplaceHistory(char** messages, const char* const* positions,
                                std::size_t count) = 0;

  protected:
    ~CRoomDelivery() {}
};
