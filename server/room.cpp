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
    void BeforeClients(const CDeadlines& clock) override {
        if (clock.Now() - clock.Before() >= kMaxElapsedMs) {
            link_.Stalled();  // the pass's step was cut short: the stall was longer
        }
        now_ = clock.Now();
        link_.BeforeClients(now_);
    }
    void AfterClients(const CDeadlines& clock) override {
        now_ = clock.Now();
        link_.AfterClients(now_);
        NoteLinkState();
    }
    void Leave(const CDeadlines& clock) override;
    CRoomStatus Status() const override;

  private:
    // CRoomDelivery: what the room's stream brings, at the stream's ids.
    void Deliver(char* message, const char* position) override {
        relay_.Broadcast(message, position);
    }
    void ReplaceHistory(char** messages, const char* const* positions, std::size_t count) override {
        relay_.SetHistory(messages, positions, count);
    }

    void NoteLinkState() {
        if (link_.Up()) {
            linkDown_ = false;
        } else if (!linkDown_) {
            linkDown_ = true;
            downSince_ = now_;
        }
    }

    CRelay& relay_;
    CRoomLink link_;
    // Since when the link has been down, for the health check, on the pass
    // clock as of the last pass.
    bool linkDown_ = false;
    long long downSince_ = 0;
    long long now_ = 0;
};

void CRedisRoom::Leave(const CDeadlines& clock) {
    // The passes are over: the stop's go on from the pass clock.
    CPlatform& platform = Platform();
    std::uint32_t start = platform.TickCount();
    auto now = [&] { return clock.Now() + static_cast<long long>(platform.TickCount() - start); };
    while (link_.StopPass(now())) {
        platform.SleepMs(kStopPassMs);
    }
}

CRoomStatus CRedisRoom::Status() const {
    CRoomStatus status;
    status.up = link_.Up();
    if (!status.up) {
        // Not yet noted: down since the join, which is now.
        status.downMs = linkDown_ ? static_cast<int>(now_ - downSince_) : 0;
    }
    status.heldMessages = static_cast<long long>(link_.HeldMessages());
    CRoomLink::Counts counts = link_.Totals();
    status.entriesRead = counts.entriesRead;
    status.missedMessages = counts.missed;
    status.droppedMessages = counts.dropped;
    status.reconnects = counts.connects > 0 ? counts.connects - 1 : 0;
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
    room->Link().UseWindow(g_settings.resumeWindow);
    return room;
}
