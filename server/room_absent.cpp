// A build without Redis support: every instance is alone, and the option
// that would join a room is refused at start.
#include "server/room.h"

bool RoomLinkSupported() {
    return false;
}

std::unique_ptr<CRoom> JoinRoom(std::uint16_t, CRelay&) {
    return nullptr;
}
