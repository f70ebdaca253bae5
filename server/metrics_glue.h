#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "metrics/endpoint.h"
#include "server/pass_hook.h"

class CRoom;
class CServer;

// A Redis link down longer than this makes the health check fail.
constexpr int kRoomDownUnhealthyMs = 5000;

// The metrics endpoint as this server serves it (--metrics): what a scrape
// shows of `server`, of the room once one is joined and shown, and of the
// process, and the health verdict. As a hook of the pass, it serves the
// scrapers after the clients' turns. The server and the room outlive it.
class CServerMetrics final : public CMetricsSource, public CPassHook {
  public:
    explicit CServerMetrics(const CServer& server) : server_(server), room_(nullptr) {}
    // Opens the endpoint g_settings asks for; true when none is asked for.
    bool Open();
    // The room joined at start; without one the instance is alone.
    void ShowRoom(const CRoom* room) { room_ = room; }
    bool Serving() const { return endpoint_ != nullptr; }
    void Close() { endpoint_.reset(); }

    void AfterClients(const CDeadlines& clock) override;
    // CMetricsSource: the server's metrics in the Prometheus text format,
    // and empty while healthy, otherwise one line why not.
    void WriteMetrics(std::string& out) override;
    std::string Unhealthy() override;

  private:
    const CServer& server_;
    const CRoom* room_;
    std::unique_ptr<CMetricsEndpoint> endpoint_;
};

// Times the passes while metrics are served: Worked after the pass's work,
// Slept after its sleep. Made only with --metrics, so it costs nothing
// without.
class CPassTimer {
  public:
    void Worked();
    void Slept();

  private:
    std::uint64_t start_ = 0;
    std::uint64_t received_ = 0;
    bool started_ = false;
};
