#pragma once

#include <cstdint>
#include <memory>

#include "server/message_sink.h"
#include "server/pass_hook.h"

class CRelay;

// How the room's link stands, for the metrics and the health check.
struct CRoomStatus {
    bool up = false;
    int downMs = 0;  // how long the link has been down (0 while up)
    long long heldMessages = 0;
    unsigned long long entriesRead = 0;
    unsigned long long missedMessages = 0;
    unsigned long long droppedMessages = 0;
    unsigned long long reconnects = 0;
};

// A room served together with other instances through Redis. As the sink,
// it hands each local message to the room's stream; what the stream brings
// goes to the relay. As a hook of the pass: before the clients, it delivers
// what Redis answered; after them, it sends what they handed over and the
// next read.
class CRoom : public CMessageSink, public CPassHook {
  public:
    // At a stop, once no message is taken in any more: sends the messages
    // still held and waits for Redis to confirm them (2 s at most), tells
    // what was not confirmed, and drops the link.
    virtual void Leave(const CDeadlines& clock) = 0;
    virtual CRoomStatus Status() const = 0;
};

// False in a build without Redis support (no hiredis for its system).
bool RoomLinkSupported();

// Joins the room that g_settings names (its key follows from `port` when no
// room name is given) and starts connecting; called once the port is open.
// What the room delivers goes to `relay`. Null when g_settings names no
// Redis server: the instance is alone.
std::unique_ptr<CRoom> JoinRoom(std::uint16_t port, CRelay& relay);
