// The room functions of a build with Redis support: one link, made when
// g_settings names a Redis server, delivering into the local relay.
#include "server/room.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "room/room_link.h"
#include "server/relay.h"
#include "server/server.h"
#include "server/settings.h"

namespace {
// Hands what the room's stream brings to the local relay.
class CRelayDelivery final : public CRoomDelivery {
  public:
    explicit CRelayDelivery(CRelay& relay) : relay_(relay) {}
    void Deliver(char* message) override { relay_.Broadcast(message); }
    void ReplaceHistory(char** messages, std::size_t count) override {
        relay_.SetHistory(messages, count);
    }

  private:
    CRelay& relay_;
};

std::unique_ptr<CRelayDelivery> g_delivery;
std::unique_ptr<CRoomLink> g_room;
// Since when the link has been down (pass clock), for the health check.
bool g_linkDown = false;
std::uint32_t g_downSince = 0;

void NoteLinkState() {
    if (g_room->Up()) {
        g_linkDown = false;
    } else if (!g_linkDown) {
        g_linkDown = true;
        g_downSince = Platform().TickCount();
    }
}
}  // namespace

bool RoomLinkSupported() {
    return true;
}

void JoinRoom(std::uint16_t port, CRelay& relay) {
    if (g_settings.redisHost.empty() && g_settings.redisSentinels.empty()) {
        return;
    }
    std::string key =
        "tovrel:" + (g_settings.room.empty() ? std::to_string(port) : g_settings.room);
    // From the environment, so that it never shows in a process list.
    const char* password = std::getenv("TOVREL_REDIS_PASSWORD");
    // Clients that come before the room's last messages are read get them
    // as soon as they are.
    relay.AwaitHistory();
    g_delivery.reset(new CRelayDelivery(relay));
    g_room.reset(new CRoomLink(*g_delivery, NewHiredisChannel(), g_settings.redisHost,
                               g_settings.redisPort, key, password != nullptr ? password : ""));
    if (!g_settings.redisSentinels.empty()) {
        std::vector<CRedisAddress> sentinels;
        for (const auto& s : g_settings.redisSentinels) {
            sentinels.push_back({s.first, s.second});
        }
        g_room->UseSentinels(sentinels, g_settings.redisMaster);
    }
}

void Relay(CRelay& relay, char* message) {
    if (g_room != nullptr) {
        g_room->Publish(message);
    } else {
        relay.Broadcast(message);
    }
}

void RoomBeforeClients() {
    if (g_room != nullptr) {
        const CDeadlines& clock = g_server.clock;
        if (clock.Now() - clock.Before() >= kMaxElapsedMs) {
            g_room->Stalled();  // the pass's step was cut short: the stall was longer
        }
        g_room->BeforeClients(clock.Now());
    }
}

void RoomAfterClients() {
    if (g_room != nullptr) {
        g_room->AfterClients(g_server.clock.Now());
        NoteLinkState();
    }
}

void LeaveRoom() {
    if (g_room != nullptr) {
        // The passes are over: the stop's go on from the pass clock.
        CPlatform& platform = Platform();
        std::uint32_t start = platform.TickCount();
        auto now = [&] {
            return g_server.clock.Now() + static_cast<long long>(platform.TickCount() - start);
        };
        while (g_room->StopPass(now())) {
            platform.SleepMs(kStopPassMs);
        }
    }
    g_room.reset();
    g_delivery.reset();
}

CRoomFigures RoomFigures() {
    CRoomFigures figures;
    if (g_room == nullptr) {
        return figures;
    }
    figures.joined = true;
    figures.up = g_room->Up();
    if (!figures.up) {
        // Not yet noted: down since the join, which is now.
        figures.downMs = g_linkDown ? static_cast<int>(Platform().TickCount() - g_downSince) : 0;
    }
    figures.heldMessages = static_cast<long long>(g_room->HeldMessages());
    CRoomLink::Counts counts = g_room->Totals();
    figures.entriesRead = counts.entriesRead;
    figures.missedMessages = counts.missed;
    figures.droppedMessages = counts.dropped;
    figures.reconnects = counts.connects > 0 ? counts.connects - 1 : 0;
    return figures;
}
