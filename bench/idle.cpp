// Idle cost and connection rate: clients are added in steps; after each step
// nobody sends anything for a while and the server's CPU and memory are read,
// and the kernel's TCP memory, system-wide, from /proc/net/sockstat.
// tovrel drops clients silent for 15 s, so each one sends an empty frame
// (relayed to nobody) just before the quiet window, which is shorter.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "clock.h"
#include "connections.h"
#include "scenarios.h"

namespace {

// The "TCP:" line of /proc/net/sockstat: sockets in use and the pages the
// kernel holds for TCP buffers, counted over the whole machine (both ends of
// a loopback connection, and whatever else runs). -1 when unreadable.
struct TcpMemory {
    long long inUse = -1;
    long long pages = -1;
    long long slabBytes = -1;  // see ReadSocketSlabs
};

// Bytes of the kernel's TCP socket objects and their inodes in use, from
// /proc/slabinfo (root only): what an idle socket costs, where sockstat's
// "mem" counts only buffer pages, which an idle socket may not hold.
long long ReadSocketSlabs() {
    std::ifstream file("/proc/slabinfo");
    std::string line;
    long long bytes = -1;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string name;
        long long active = 0, total = 0, size = 0;
        if (fields >> name >> active >> total >> size &&
            (name == "TCP" || name == "sock_inode_cache")) {
            bytes = (bytes < 0 ? 0 : bytes) + active * size;
        }
    }
    return bytes;
}

TcpMemory ReadTcpMemory() {
    TcpMemory m;
    std::ifstream file("/proc/net/sockstat");
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("TCP:", 0) != 0) {
            continue;
        }
        std::istringstream fields(line.substr(4));
        std::string key;
        long long value;
        while (fields >> key >> value) {
            if (key == "inuse") {
                m.inUse = value;
            } else if (key == "mem") {
                m.pages = value;
            }
        }
    }
    m.slabBytes = ReadSocketSlabs();
    return m;
}

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
    bool tovrel = IsTovrel(o.kind);
    if (tovrel && o.seconds + 1.5 >= 15) {
        std::fprintf(stderr,
                     "tovrel-bench: idle --seconds must stay under 13.5 for tovrel, which "
                     "drops clients silent for 15 s\n");
        server.Stop();
        return false;
    }
    Connections conns(server);
    // An idle client only listens: one connection each, also for Redis.
    conns.LimitPublishers(0);
    std::fprintf(o.out, "limits\t%s\t%s\n", KindName(o.kind), server.OpenFileLimits().c_str());
    // Long enough for the sockets of a run just before to be gone from the kernel's counts.
    Wait(conns, 2.0);
    ServerProcess::Usage empty = server.ReadUsage();
    TcpMemory emptyTcp = ReadTcpMemory();
    double pageBytes = static_cast<double>(sysconf(_SC_PAGESIZE));
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
        TcpMemory tcp = ReadTcpMemory();
        double kernelPerClient =
            tcp.pages >= 0 && emptyTcp.pages >= 0
                ? static_cast<double>(tcp.pages - emptyTcp.pages) * pageBytes / n
                : 0;
        double slabPerClient = tcp.slabBytes >= 0 && emptyTcp.slabBytes >= 0
                                   ? static_cast<double>(tcp.slabBytes - emptyTcp.slabBytes) / n
                                   : 0;
        double cpuMs = static_cast<double>(after.cpuTicks - before.cpuTicks) * server.MsPerTick();
        double schedMs = static_cast<double>(after.cpuNs - before.cpuNs) / 1e6;
        double perClient = static_cast<double>(after.rssKb - empty.rssKb) * 1024.0 / n;
        bool intact = conns.closedCount() == 0 && server.timeouts() == timeoutsBefore;
        std::fprintf(o.out,
                     "idle\t%s\t%d\t%.1f\t%.0f\t%.2f\t%.1f\t%lld\t%lld\t%.0f\t%s\t%lld\t%lld\t%lld"
                     "\t%lld\t%.0f\t%lld\t%lld\t%.0f\n",
                     KindName(o.kind), n, o.seconds, cpuMs, 100.0 * cpuMs / (o.seconds * 1000.0),
                     schedMs, static_cast<long long>(after.rssKb),
                     static_cast<long long>(empty.rssKb), perClient, intact ? "yes" : "no",
                     emptyTcp.pages, tcp.pages, emptyTcp.inUse, tcp.inUse, kernelPerClient,
                     emptyTcp.slabBytes, tcp.slabBytes, slabPerClient);
        std::fflush(o.out);
        std::fprintf(stderr,
                     "idle %s n=%d: %.2f%% of a core, %.0f bytes per client, kernel TCP memory "
                     "%.0f bytes per client in buffers, %.0f in socket objects (both ends)\n",
                     KindName(o.kind), n, 100.0 * cpuMs / (o.seconds * 1000.0), perClient,
                     kernelPerClient, slabPerClient);
        ok = ok && intact;
    }
    server.Stop();
    return ok;
}
