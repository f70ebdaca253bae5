// --ping: times "@PING" round trips and sums them up the way ping(8) does.
#include <algorithm>
#include <cstdio>

#include "tools/tovrel_client/modes.h"
#include "tools/tovrel_client/session.h"

namespace {

const char kPing[] = "@PING";

struct Stats {
    int sent = 0;
    int received = 0;
    double minMs = 0;
    double maxMs = 0;
    double totalMs = 0;

    void Add(double ms) {
        minMs = received == 0 ? ms : std::min(minMs, ms);
        maxMs = received == 0 ? ms : std::max(maxMs, ms);
        totalMs += ms;
        ++received;
    }
};

void PrintSummary(const std::string& peer, const Stats& s) {
    const int lost = s.sent - s.received;
    std::printf("--- %s ping statistics ---\n", peer.c_str());
    std::printf("%d sent, %d received, %d%% lost\n", s.sent, s.received,
                s.sent > 0 ? lost * 100 / s.sent : 0);
    if (s.received > 0) {
        std::printf("round-trip min/avg/max = %.1f/%.1f/%.1f ms\n", s.minMs, s.totalMs / s.received,
                    s.maxMs);
    }
    std::fflush(stdout);
}

// The server's close is an error here; a broken connection was reported already.
void ReportClosed(const CSession& session, CSession::Event e) {
    if (e == CSession::kClosed) {
        std::fprintf(stderr, "tovrel-client: %s closed the connection\n", session.Peer().c_str());
    }
}

}  // namespace

int RunPing(const ClientOptions& options) {
    CSession session;
    if (!session.Open(options)) {
        return 1;
    }
    std::printf("PING %s\n", session.Peer().c_str());
    std::fflush(stdout);
    Stats stats;
    bool failed = false;
    for (int seq = 1; seq <= options.pingCount; ++seq) {
        if (seq > 1 && options.intervalMs > 0) {
            // What arrives meanwhile (history, relayed messages) is not ours.
            const CSession::Event e =
                session.ReceiveFor(options.intervalMs, [](const std::string&) { return true; });
            if (e == CSession::kInterrupted) {
                break;
            }
            if (e != CSession::kTimeout) {
                ReportClosed(session, e);
                failed = true;
                break;
            }
        }
        const Clock::time_point start = Clock::now();
        if (!session.Send(kPing)) {
            failed = true;
            break;
        }
        ++stats.sent;
        // Only a "@PING" sent by us is answered with "@PING"; other frames are skipped.
        const CSession::Event e = session.ReceiveFor(
            options.timeoutMs, [](const std::string& payload) { return payload != kPing; });
        if (e == CSession::kFrame) {
            const double ms =
                std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            stats.Add(ms);
            std::printf("reply from %s: seq=%d time=%.1f ms\n", session.Peer().c_str(), seq, ms);
            std::fflush(stdout);
            continue;
        }
        if (e == CSession::kInterrupted) {
            break;
        }
        if (e == CSession::kTimeout) {
            std::printf("no reply from %s: seq=%d within %d ms\n", session.Peer().c_str(), seq,
                        options.timeoutMs);
        }
        ReportClosed(session, e);
        failed = true;
        break;
    }
    PrintSummary(session.Peer(), stats);
    session.Finish(kFinishTimeoutMs);
    return failed || stats.received < stats.sent ? 1 : 0;
}
