// The room of a build with Redis support: one link, made when g_settings
// names a Redis server, delivering into the local relay.
#include "server/room.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "room/room_link.h"
#include "server/relay.h"
#include "server/settings.h"

namespace {
class CRedisRoom final : public CRoom, private CRoomDelivery {
  public:
    CRedisRoom(CRelay& relay, const std::string& key, const char* password)
        : relay_(relay),
          link_(*this, NewHiredisChannel(), g_settings.redisHost, g_settings.redisPort, key,
                password) {}

    CRoomLink& Link() { return link_; }

    void Take(char* message) override { link_.Publish(message); }
    void BeforeClients() override { link_.BeforeClients(); }
    void AfterClients() override {
        link_.AfterClients();
        NoteLinkState();
    }
    void Leave() override { link_.Stop(); }
    CRoomStatus Status() const override;

  private:
    // CRoomDelivery: what the room's stream brings.
    void Deliver(char* message) override { relay_.Broadcast(message); }
    void ReplaceHistory(char** messages, std::size_t count) override {
        relay_.SetHistory(messages, count);
    }

    void NoteLinkState() {
        if (link_.Up()) {
            linkDown_ = false;
        } else if (!linkDown_) {
            linkDown_ = true;
            downSince_ = Platform().TickCount();
        }
    }

    CRelay& relay_;
    CRoomLink link_;
    // Since when the link has been down, for the health check.
    bool linkDown_ = false;
    std::uint32_t downSince_ = 0;
};

CRoomStatus CRedisRoom::Status() const {
    CRoomStatus status;
    status.up = link_.Up();
    if (!status.up) {
        // Not yet noted: down since the join, which is now.
        status.downMs = linkDown_ ? static_cast<int>(Platform().TickCount() - downSince_) : 0;
    }
    status.heldMessages = static_cast<long long>(link_.HeldMessages());
    status.entriesRead = link_.counts.entriesRead;
    status.missedMessages = link_.counts.missed;
    status.droppedMessages = link_.counts.dropped;
    status.reconnects = link_.counts.connects > 0 ? link_.counts.connects - 1 : 0;
    return status;
}
}  // namespace

bool RoomLinkSupported() {
    return true;
}

std::unique_ptr<CRoom> JoinRoom(std::uint16_t port, CRelay& relay) {
    if (g_settings.redisHost.empty() && g_settings.redisSentinels.empty()) {
        return nullptr;
    }
    std::string key =
        "tovrel:" + (g_settings.room.empty() ? std::to_string(port) : g_settings.room);
    // From the environment, so that it never shows in a process list.
    const char* password = std::getenv("TOVREL_REDIS_PASSWORD");
    // Clients that come before the room's last messages are read get them
    // as soon as they are.
    relay.AwaitHistory();
    std::unique_ptr<CRedisRoom> room(
        new CRedisRoom(relay, key, password != nullptr ? password : ""));
    if (!g_settings.redisSentinels.empty()) {
        std::vector<CRedisAddress> sentinels;
        for (const auto& s : g_settings.redisSentinels) {
            sentinels.push_back({s.first, s.second});
        }
        room->Link().UseSentinels(sentinels, g_settings.redisMaster);
    }
    return room;
}
