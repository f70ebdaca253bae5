// Throughput: one reader draining a deep backlog (ceiling: 65536 bytes per
// pass), and one writer streaming frames in (ceiling: 32768 bytes per pass).
// Passes are counted as the server's voluntary context switches: it blocks
// only in its 20 ms sleep, once per pass.
#include <sys/socket.h>

#include <cstdio>
#include <vector>

#include "bench_frame.h"
#include "clock.h"
#include "connections.h"
#include "scenarios.h"

namespace {

constexpr int kBigFrame = 131072;

struct Sample {
    std::int64_t ns;
    std::uint64_t bytes;
    ServerProcess::Usage usage;
};

// Follows conn's received bytes until `total` arrived (or `limitSec`),
// sampling every 50 ms; reports the steady part between 20% and 95%, after
// whatever the kernel buffers held has been read.
bool Measure(Connections& conns, ServerGroup& server, const BenchOptions& o, int conn,
             std::uint64_t total, double limitSec, const char* role, int ceiling) {
    std::vector<Sample> samples;
    std::uint64_t base = conns.at(conn).bytesIn;
    std::int64_t deadline = NowNs() + static_cast<std::int64_t>(limitSec * kNsPerSec);
    std::int64_t next = NowNs();
    while (conns.at(conn).bytesIn - base < total && NowNs() < deadline) {
        conns.Poll(1);
        if (NowNs() >= next) {
            samples.push_back({NowNs(), conns.at(conn).bytesIn - base, server.ReadUsage()});
            next += 50 * kNsPerMs;
        }
    }
    samples.push_back({NowNs(), conns.at(conn).bytesIn - base, server.ReadUsage()});
    const Sample* a = nullptr;
    const Sample* b = nullptr;
    for (const Sample& s : samples) {
        if (a == nullptr && s.bytes >= total / 5) {
            a = &s;
        }
        if (b == nullptr && s.bytes >= total - total / 20) {
            b = &s;
        }
    }
    bool complete = samples.back().bytes >= total;
    if (a == nullptr || b == nullptr || b->usage.voluntarySwitches <= a->usage.voluntarySwitches) {
        std::fprintf(stderr, "throughput %s: too few samples\n", role);
        return false;
    }
    double seconds = static_cast<double>(b->ns - a->ns) / 1e9;
    double bytes = static_cast<double>(b->bytes - a->bytes);
    long long passes = b->usage.voluntarySwitches - a->usage.voluntarySwitches;
    double perPass = bytes / static_cast<double>(passes);
    double cpuMs = static_cast<double>(b->usage.cpuTicks - a->usage.cpuTicks) * server.MsPerTick();
    std::fprintf(o.out, "throughput\t%s\t%.0f\t%.3f\t%lld\t%.1f\t%.0f\t%.0f\t%d\t%.1f\t%.0f\n",
                 role, bytes, seconds, passes, passes / seconds, bytes / seconds, perPass, ceiling,
                 100.0 * perPass / ceiling, cpuMs);
    std::fflush(o.out);
    std::fprintf(stderr, "throughput %s: %.0f bytes per pass over %lld passes (%.1f%%)\n", role,
                 perPass, passes, 100.0 * perPass / ceiling);
    return complete;
}

std::string BigFrames(std::uint64_t bytes) {
    std::string s;
    while (s.size() < bytes) {
        AppendFillerFrame(s, kBigFrame);
    }
    return s;
}

}  // namespace

bool RunThroughput(const BenchOptions& o) {
    bool ok = true;
    std::uint64_t perWriter = static_cast<std::uint64_t>(o.mib) << 20;
    {
        // One writer; its frames come back to it, at up to twice the rate
        // they go in, so the echo follows the intake.
        ServerGroup server;
        if (!server.Start(o.kind, o.exe, 16)) {
            return false;
        }
        Connections conns(server);
        if (!conns.GrowTo(1, ConnectWindow(o.kind), 20, false)) {
            return false;
        }
        std::string data = BigFrames(perWriter);
        conns.Send(0, data);
        ok = Measure(conns, server, o, 0, data.size(), 60, "writer", 32768) && ok;
        server.Stop();
    }
    {
        // A reader that does not read while writers fill its queue, then drains it.
        ServerGroup server;
        if (!server.Start(o.kind, o.exe, 16)) {
            return false;
        }
        Connections conns(server);
        if (!conns.GrowTo(1 + o.writers, ConnectWindow(o.kind), 20, false)) {
            return false;
        }
        // A small receive buffer keeps the backlog in the server, not in the kernel.
        int rcvbuf = 131072;
        setsockopt(conns.at(0).fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        conns.SetReading(0, false);
        std::string data = BigFrames(perWriter);
        for (int w = 1; w <= o.writers; ++w) {
            conns.Send(w, data);
        }
        std::uint64_t backlog = data.size() * static_cast<std::uint64_t>(o.writers);
        std::int64_t deadline = NowNs() + 60 * kNsPerSec;
        bool filled = false;
        while (!filled && NowNs() < deadline) {
            conns.Poll(5);
            filled = true;
            for (int w = 1; w <= o.writers; ++w) {
                filled = filled && conns.at(w).bytesIn >= backlog;
            }
        }
        if (!filled) {
            std::fprintf(stderr, "throughput: the backlog was not built in time\n");
            return false;
        }
        conns.SetReading(0, true);
        ok = Measure(conns, server, o, 0, backlog, 60, "reader", 65536) && ok;
        server.Stop();
    }
    return ok;
}
