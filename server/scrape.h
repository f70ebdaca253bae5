#pragma once

#include <cstdint>
#include <string>

// The metrics endpoint as this server serves it (--metrics): what a scrape
// shows of the server, the room and the process, and the health verdict.

// A Redis link down longer than this makes the health check fail.
constexpr int kRoomDownUnhealthyMs = 5000;

// Opens the endpoint g_settings asks for; true when none is asked for.
bool OpenMetrics();
void CloseMetrics();
// Once a pass, after the clients' turns: serves the scrapers.
void ServeMetrics();

// The server's metrics in the Prometheus text format, appended to `out`.
void WriteServerMetrics(std::string& out);
// Empty while healthy, otherwise one line why not.
std::string ServerUnhealthy();

// Times the passes while metrics are served: Worked after the pass's work,
// Slept after its sleep. Costs nothing without --metrics.
class CPassTimer {
  public:
    void Worked();
    void Slept();

  private:
    std::uint64_t start_ = 0;
    std::uint64_t received_ = 0;
    bool started_ = false;
};
