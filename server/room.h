#pragma once

#include <cstdint>

class CRelay;

// A room served together with other instances through Redis, when
// g_settings names a Redis server; alone otherwise. Without a room every
// function here leaves the relay exactly as it is: Relay is Broadcast and
// the pass hooks do nothing.

// False in a build without Redis support (no hiredis for its system).
bool RoomLinkSupported();

// Joins the room that g_settings names (its key follows from `port` when no
// room name is given) and starts connecting; called once the port is open.
// What the room delivers goes to `relay`.
void JoinRoom(std::uint16_t port, CRelay& relay);

// Relays a local client's ordinary message: to every client at once when
// alone, through the room's stream when joined. Takes ownership of the
// NUL-terminated heap buffer.
void Relay(CRelay& relay, char* message);

// The pass's two turns for the room: before the clients, deliver what Redis
// answered; after them, send what the clients handed over and the next read.
void RoomBeforeClients();
void RoomAfterClients();

// At a stop, once no message is taken in any more: sends the messages still
// held and waits for Redis to confirm them (2 s at most), tells what was not
// confirmed, and drops the link.
void LeaveRoom();

// How the room's link stands, for the metrics and the health check.
struct CRoomFigures {
    bool joined = false;  // false: alone, and nothing below applies
    bool up = false;
    int downMs = 0;  // how long the link has been down (0 while up)
    long long heldMessages = 0;
    unsigned long long entriesRead = 0;
    unsigned long long missedMessages = 0;
    unsigned long long droppedMessages = 0;
    unsigned long long reconnects = 0;
};
CRoomFigures RoomFigures();
