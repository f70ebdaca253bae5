// Fan-out: N clients, rotating senders at a fixed rate; every receiver checks
// that it gets every frame of every sender once and in order.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "bench_frame.h"
#include "clock.h"
#include "connections.h"
#include "perf_recorder.h"
#include "scenarios.h"

namespace {

struct Tally {
    std::vector<std::uint32_t> nextSeq;  // [receiver * senders + sender]
    std::vector<std::uint32_t> latencyUs;
    long delivered = 0, outOfOrder = 0, stale = 0, foreign = 0;
};

double Percentile(std::vector<std::uint32_t>& v, double q) {
    if (v.empty()) {
        return 0;
    }
    size_t k = static_cast<size_t>(q * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k] / 1000.0;
}

void WriteCdf(const std::string& path, std::vector<std::uint32_t> v) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr || v.empty()) {
        if (f != nullptr) {
            std::fclose(f);
        }
        return;
    }
    std::sort(v.begin(), v.end());
    for (int i = 0; i <= 1000; ++i) {
        size_t k = static_cast<size_t>(i / 1000.0 * static_cast<double>(v.size() - 1));
        std::fprintf(f, "%.3f\t%.3f\n", v[k] / 1000.0, i / 10.0);
    }
    std::fclose(f);
}

// Server and bench readings at the start of a measured window.
struct Start {
    ServerProcess::Usage server;
    std::int64_t benchCpuNs;
    std::int64_t benchWaitNs;
    std::int64_t ns;
};

Start Mark(const ServerGroup& servers) {
    return {servers.ReadUsage(), SelfCpuNs(), SelfWaitNs(), NowNs()};
}

// On a shortfall, which frames went missing: per sender, how many receivers
// lack its last frames, and how many receivers lack anything, so that a loss
// shows whether one message missed everyone or some clients missed many.
void ReportMissing(const Tally& t, const std::vector<std::uint32_t>& sent, int n, int senders,
                   bool echoes) {
    long receiversShort = 0;
    std::string some;
    std::vector<long> bySender(static_cast<size_t>(senders), 0);
    for (int r = 0; r < n; ++r) {
        bool lacking = false;
        for (int s = 0; s < senders; ++s) {
            if (!echoes && r == s) {
                continue;
            }
            std::uint32_t got = t.nextSeq[static_cast<size_t>(r) * static_cast<size_t>(senders) +
                                          static_cast<size_t>(s)];
            if (got < sent[static_cast<size_t>(s)]) {
                bySender[static_cast<size_t>(s)] += sent[static_cast<size_t>(s)] - got;
                lacking = true;
            }
        }
        if (lacking && ++receiversShort <= 12) {
            some += " " + std::to_string(r);
        }
    }
    std::fprintf(stderr,
                 "missing: %ld of %d receivers lack frames (%s ); by sender:", receiversShort, n,
                 some.c_str());
    for (int s = 0; s < senders; ++s) {
        if (bySender[static_cast<size_t>(s)] > 0) {
            std::fprintf(stderr, " %d:%ld", s, bySender[static_cast<size_t>(s)]);
        }
    }
    std::fprintf(stderr, "\n");
}

bool RunOne(Connections& conns, ServerGroup& servers, const BenchOptions& o, int n, int size,
            int rate, std::uint32_t run) {
    bool tovrel = IsTovrel(o.kind);
    long frames = static_cast<long>(rate * o.seconds);
    // Senders rotate; a relay that does not echo leaves each sender's own frames out.
    long expected = Echoes(o.kind) ? frames * n : frames * (n - 1);
    // Only the first `senders` clients send: 10000 x 10000 counters would not fit.
    int senders = static_cast<int>(std::min<long>(n, frames));
    Tally t;
    t.nextSeq.assign(static_cast<size_t>(n) * static_cast<size_t>(senders), 0);
    t.latencyUs.reserve(static_cast<size_t>(expected));
    conns.onMessage = [&](int receiver, const unsigned char* p, std::uint32_t length) {
        BenchFrame f;
        if (length == 0) {
            return;  // a keep-alive passed on by ncat
        }
        if (!ParseBenchFrame(p, length, f)) {
            ++t.foreign;
            return;
        }
        if (f.run != run) {
            ++t.stale;  // history from an earlier run
            return;
        }
        if (f.sender >= static_cast<std::uint32_t>(senders)) {
            ++t.foreign;
            return;
        }
        std::int64_t now = NowNs();
        t.latencyUs.push_back(static_cast<std::uint32_t>((now - f.sentNs) / 1000));
        std::uint32_t& next =
            t.nextSeq[static_cast<size_t>(receiver) * static_cast<size_t>(senders) + f.sender];
        if (f.seq != next) {
            ++t.outOfOrder;
        }
        next = f.seq + 1;
        ++t.delivered;
    };

    std::vector<std::uint32_t> seq(static_cast<size_t>(n), 0);
    std::string label = ServerLabel(o.kind) + "-" + std::to_string(n) + "-" + std::to_string(size) +
                        "-" + std::to_string(rate);
    PerfRecorder perf;
    if (!o.perfDir.empty() && !perf.Start(servers.at(0).pid(), o.perfDir + "/perf-" + label)) {
        return false;
    }
    long dropsBefore = servers.slowDrops();
    Start before = Mark(servers);
    std::int64_t start = before.ns;
    std::int64_t interval = kNsPerSec / rate;
    std::int64_t nextKeepAlive = start;
    std::string payload;
    for (long k = 0; k < frames; ++k) {
        std::int64_t due = start + k * interval;
        std::int64_t now;
        while ((now = NowNs()) < due) {
            conns.Poll(static_cast<int>((due - now + kNsPerMs - 1) / kNsPerMs));
        }
        int sender = static_cast<int>(k % n);
        BenchFrame f;
        f.run = run;
        f.sender = static_cast<std::uint32_t>(sender);
        f.seq = seq[static_cast<size_t>(sender)]++;
        f.sentNs = NowNs();
        payload.clear();
        AppendBenchPayload(payload, f, size);
        conns.Publish(sender, payload);
        if (tovrel && now >= nextKeepAlive) {
            conns.KeepAlive(10000);
            nextKeepAlive = now + kNsPerSec;
        }
    }
    // Drain: at most 10 s for the last frames to arrive.
    std::int64_t drainEnd = NowNs() + 10 * kNsPerSec;
    while (t.delivered < expected && NowNs() < drainEnd && conns.closedCount() == 0) {
        conns.Poll(5);
    }
    Start after = Mark(servers);
    perf.Stop();
    if (t.delivered < expected) {
        ReportMissing(t, seq, n, senders, Echoes(o.kind));
        std::fprintf(stderr, "%d connections closed; the relay's last lines:\n",
                     conns.closedCount());
        for (const std::string& line : servers.at(0).recentLines()) {
            std::fprintf(stderr, "  %s\n", line.c_str());
        }
    }
    std::int64_t wall = after.ns - start;
    conns.onMessage = nullptr;

    double cpuMs =
        static_cast<double>(after.server.cpuTicks - before.server.cpuTicks) * servers.MsPerTick();
    double cpuNsMs = static_cast<double>(after.server.cpuNs - before.server.cpuNs) / 1e6;
    double per1000 = t.delivered > 0 ? cpuMs * 1000.0 / static_cast<double>(t.delivered) : 0;
    double per1000Sched = t.delivered > 0 ? cpuNsMs * 1000.0 / static_cast<double>(t.delivered) : 0;
    double benchCpuMs = static_cast<double>(after.benchCpuNs - before.benchCpuNs) / 1e6;
    double benchWaitMs = static_cast<double>(after.benchWaitNs - before.benchWaitNs) / 1e6;
    double wallMs = static_cast<double>(wall) / 1e6;
    if (!o.cdfDir.empty()) {
        WriteCdf(o.cdfDir + "/latency-" + label + ".tsv", t.latencyUs);
    }
    // tovrel and the floor sleep once per pass; other relays' switches mean nothing of the kind.
    double passesPerSec =
        static_cast<double>(after.server.voluntarySwitches - before.server.voluntarySwitches) /
        (static_cast<double>(wall) / 1e9);
    bool paced = tovrel || o.kind == ServerProcess::Kind::kFloor;
    // On time: frames that arrived within a second of being sent.
    long onTime = static_cast<long>(std::count_if(t.latencyUs.begin(), t.latencyUs.end(),
                                                  [](std::uint32_t us) { return us <= 1000000; }));
    double p50 = Percentile(t.latencyUs, 0.50);
    double p99 = Percentile(t.latencyUs, 0.99);
    double max = Percentile(t.latencyUs, 1.0);
    std::fprintf(
        o.out,
        "fanout\t%s\t%d\t%d\t%d\t%.2f\t%ld\t%ld\t%ld\t%ld\t%.2f\t%.2f\t%.2f\t%.0f\t%.2f\t%.2f"
        "\t%.2f\t%lld\t%.1f\t%.0f\t%.0f\t%.1f\t%.0f\t%d\t%ld\t%ld\n",
        ServerLabel(o.kind).c_str(), n, size, rate, static_cast<double>(wall) / 1e9, frames,
        expected, t.delivered, t.outOfOrder + conns.corruptCount(), p50, p99, max, cpuMs, per1000,
        cpuNsMs, per1000Sched, static_cast<long long>(after.server.rssKb),
        paced ? passesPerSec : 0.0,
        static_cast<double>(after.server.waitNs - before.server.waitNs) / 1e6, benchCpuMs,
        100.0 * benchCpuMs / wallMs, benchWaitMs, after.server.threads,
        servers.slowDrops() - dropsBefore, onTime);
    std::fflush(o.out);
    std::fprintf(stderr,
                 "fanout %s n=%d size=%d rate=%d: %ld/%ld delivered, %ld out of order, p50 %.2f "
                 "p99 %.2f ms, %.2f ms CPU per 1000; bench %.0f%% of a core\n",
                 ServerLabel(o.kind).c_str(), n, size, rate, t.delivered, expected, t.outOfOrder,
                 p50, p99, per1000Sched, 100.0 * benchCpuMs / wallMs);
    return t.delivered == expected && t.outOfOrder == 0 && conns.corruptCount() == 0 &&
           conns.closedCount() == 0;
}

}  // namespace

bool RunFanout(const BenchOptions& o) {
    int most = o.runs.back().clients;
    ServerGroup servers;
    if (!servers.Start(o.kind, o.exe, 2 * most + 10)) {
        return false;
    }
    Connections conns(servers);
    // Client k sends frame k, so no run has more senders than frames.
    int senders = 0;
    for (const BenchOptions::FanoutRun& r : o.runs) {
        senders = std::max(senders, static_cast<int>(std::min<long>(
                                        r.clients, static_cast<long>(r.rate * o.seconds))));
    }
    conns.LimitPublishers(senders);
    bool tovrel = IsTovrel(o.kind);
    bool ok = true;
    std::uint32_t run = static_cast<std::uint32_t>(NowNs() / 1000) & 0x7fffffff;
    for (const BenchOptions::FanoutRun& r : o.runs) {
        if (r.clients > conns.size()) {
            if (!conns.GrowTo(r.clients, ConnectWindow(o.kind), r.clients * 0.1 + 20, tovrel)) {
                ok = false;
                break;
            }
            // Let the history replayed to newcomers go out before measuring.
            std::int64_t settle = NowNs() + 300 * kNsPerMs;
            while (NowNs() < settle) {
                conns.Poll(5);
            }
        }
        ok = RunOne(conns, servers, o, r.clients, r.size, r.rate, ++run) && ok;
    }
    servers.Stop();
    return ok;
}
