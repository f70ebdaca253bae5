// The room functions of a build without Redis support: every instance is
// alone, and the option that would join a room is refused at start.
#include "server/relay.h"
#include "server/room.h"

bool RoomLinkSupported() {
    return false;
}

void JoinRoom(std::uint16_t, CRelay&) {}

void Relay(CRelay& relay, char* message) {
    relay.Broadcast(message);
}

void RoomBeforeClients() {}
void RoomAfterClients() {}
void LeaveRoom() {}

CRoomFigures RoomFigures() {
    return CRoomFigures();
}
