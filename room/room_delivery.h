#pragma once

#include <cstddef>

// Where a room's messages go in this instance: the link hands over each
// entry it reads, in stream order, and the room's last messages when it
// learns them. Every text is a NUL-terminated heap buffer whose ownership
// passes with it.
class CRoomDelivery {
  public:
    // Relays one message to every local client and keeps it in the history.
    virtual void Deliver(char* message) = 0;
    // Makes `messages` (oldest first, `count` of them, possibly none) the
    // history, without sending them.
    virtual void ReplaceHistory(char** messages, std::size_t count) = 0;

  protected:
    ~CRoomDelivery() {}
};
