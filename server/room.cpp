// The room functions of a build with Redis support: one link, made when
// g_settings names a Redis server.
#include "server/room.h"

#include <cstdlib>
#include <memory>
#include <string>

#include "server/relay.h"
#include "server/room_link.h"
#include "server/settings.h"

namespace {
std::unique_ptr<CRoomLink> g_room;
}

bool RoomLinkSupported() {
    return true;
}

void JoinRoom(std::uint16_t port) {
    if (g_settings.redisHost.empty()) {
        return;
    }
    std::string key =
        "tovrel:" + (g_settings.room.empty() ? std::to_string(port) : g_settings.room);
    // From the environment, so that it never shows in a process list.
    const char* password = std::getenv("TOVREL_REDIS_PASSWORD");
    g_room.reset(new CRoomLink(NewHiredisChannel(), g_settings.redisHost, g_settings.redisPort, key,
                               password != nullptr ? password : ""));
}

void Relay(char* message) {
    if (g_room != nullptr) {
        g_room->Publish(message);
    } else {
        Broadcast(message);
    }
}

void RoomBeforeClients() {
    if (g_room != nullptr) {
        g_room->BeforeClients();
    }
}

void RoomAfterClients() {
    if (g_room != nullptr) {
        g_room->AfterClients();
    }
}

void LeaveRoom() {
    g_room.reset();
}
