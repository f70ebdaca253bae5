// Idle cost and connection rate: clients are added in steps; after each step
// nobody sends anything for a while and the server's CPU and memory are read.
// tovrel drops clients silent for 15 s, so each one sends an empty frame
// (relayed to nobody) just before the quiet window, which is shorter.
#include <cstdio>

#include "clock.h"
#include "connections.h"
#include "scenarios.h"

namespace {

void Wait(Connections& conns, double seconds) {
    std::int64_t end = NowNs() + static_cast<std::int64_t>(seconds * kNsPerSec);
    while (NowNs() < end) {
        conns.Poll(20);
    }
}

}  // namespace

bool RunIdle(const BenchOptions& o) {
    int most = 0;
    for (int n : o.clients) {
        most = n > most ? n : most;
    }
    ServerGroup server;
    if (!server.Start(o.kind, o.exe, most + 10)) {
        return false;
    }
    bool tovrel = o.kind == ServerProcess::Kind::kTovrel;
    Connections conns(server);
    std::fprintf(o.out, "limits\t%s\t%s\n", KindName(o.kind), server.OpenFileLimits().c_str());
    Wait(conns, 0.5);
    ServerProcess::Usage empty = server.ReadUsage();
    std::int64_t firstConnect = NowNs();
    int from = 0;
    bool ok = true;
    for (int n : o.clients) {
        std::int64_t growStart = NowNs();
        bool grown = conns.GrowTo(n, ConnectWindow(o.kind), (n - from) * 0.1 + 30, tovrel);
        double took = static_cast<double>(NowNs() - growStart) / 1e9;
        double total = static_cast<double>(NowNs() - firstConnect) / 1e9;
        if (!grown) {
            std::fprintf(o.out, "connect\t%s\t%d\t%d\tfailed\t%ld\n", KindName(o.kind), from, n,
                         conns.Ready());
            std::fflush(o.out);
            ok = false;
            break;
        }
        std::fprintf(o.out, "connect\t%s\t%d\t%d\t%.3f\t%.1f\t%.3f\n", KindName(o.kind), from, n,
                     took, (n - from) / took, total);
        from = n;
        if (tovrel) {
            conns.KeepAlive(0);
        }
        Wait(conns, 1.0);
        ServerProcess::Usage before = server.ReadUsage();
        long timeoutsBefore = server.timeouts();
        Wait(conns, o.seconds);
        ServerProcess::Usage after = server.ReadUsage();
        double cpuMs = static_cast<double>(after.cpuTicks - before.cpuTicks) * server.MsPerTick();
        double schedMs = static_cast<double>(after.cpuNs - before.cpuNs) / 1e6;
        double perClient = static_cast<double>(after.rssKb - empty.rssKb) * 1024.0 / n;
        bool intact = conns.closedCount() == 0 && server.timeouts() == timeoutsBefore;
        std::fprintf(o.out, "idle\t%s\t%d\t%.1f\t%.0f\t%.2f\t%.1f\t%lld\t%lld\t%.0f\t%s\n",
                     KindName(o.kind), n, o.seconds, cpuMs, 100.0 * cpuMs / (o.seconds * 1000.0),
                     schedMs, static_cast<long long>(after.rssKb),
                     static_cast<long long>(empty.rssKb), perClient, intact ? "yes" : "no");
        std::fflush(o.out);
        std::fprintf(stderr, "idle %s n=%d: %.2f%% of a core, %.0f bytes per client\n",
                     KindName(o.kind), n, 100.0 * cpuMs / (o.seconds * 1000.0), perClient);
        ok = ok && intact;
    }
    server.Stop();
    return ok;
}
