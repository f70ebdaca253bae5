#pragma once

#include <cstdint>

// What the server counts as it runs: plain integers, bumped where each
// event happens, read only when a scraper asks. Nothing here allocates or
// locks, so counting costs an add per event.

// Why a client's connection ended; each has its console line.
enum class EndCause {
    kPeerClosed,   // the peer closed its side (no line besides "Disconnected")
    kTimeout,      // idle for the whole time ("TIMEOUT")
    kStall,        // queued output taken by no send for the whole time ("TIMEOUT")
    kInvalidSize,  // a frame length out of range ("Invalid msg size")
    kOverflow,     // output past its bound, or the heap refused it ("Output overflow")
    kBudget,       // freed for the memory budget ("Memory budget exceeded")
    kError,        // the connection broke (reset, aborted, ...)
    kShutdown,     // the server stopped
    kFlood,        // over its message rate for too long ("Message flood")
    kCount
};
// The label value of each cause, in the order above.
extern const char* const kEndCauseNames[static_cast<int>(EndCause::kCount)];

// The listener a client came in on.
enum class ListenerKind { kTcp, kTls, kWs, kWss, kCount };
extern const char* const kListenerKindNames[static_cast<int>(ListenerKind::kCount)];

// Why a connection was closed at accept, before it cost a client.
enum class RefusalCause { kAddress, kMaxClients, kPerAddress, kCount };
extern const char* const kRefusalCauseNames[static_cast<int>(RefusalCause::kCount)];

// How a resume ended: everything after its position replayed, some of it
// no longer held (a count), or not known ("?").
enum class ResumeOutcome { kReplayed, kMissed, kUnknown, kCount };
extern const char* const kResumeOutcomeNames[static_cast<int>(ResumeOutcome::kCount)];

// Counts of observations at or below each bound (in the histogram's own
// unit: microseconds, bytes), and above the last; the sum in that unit.
template <int N>
struct CHistogram {
    static constexpr int kBounds = N;
    const std::int64_t* bounds;  // N ascending bounds
    std::uint64_t counts[N + 1];
    std::uint64_t count;
    std::int64_t sum;

    void Observe(std::int64_t value) {
        int i = 0;
        while (i < N && value > bounds[i]) {
            ++i;
        }
        ++counts[i];
        ++count;
        sum += value;
    }
};

// Bounds of the pass histograms, in microseconds: the whole pass sits
// around its 20 ms sleep; the work of a pass should be far below it.
constexpr int kPassBuckets = 12;
constexpr int kWorkBuckets = 10;
// Bounds of the bytes the intake let in per pass, up to its cap.
constexpr int kIntakeBuckets = 6;

struct CMetrics {
    std::uint64_t accepted;
    std::uint64_t refused[static_cast<int>(RefusalCause::kCount)];
    std::int64_t connected[static_cast<int>(ListenerKind::kCount)];
    std::uint64_t ended[static_cast<int>(EndCause::kCount)];
    std::uint64_t messagesRelayed;
    std::uint64_t bytesReceived;
    std::uint64_t bytesSent;
    std::uint64_t pings;
    std::uint64_t fastCommands;
    CHistogram<kPassBuckets> passSeconds;
    CHistogram<kWorkBuckets> workSeconds;
    CHistogram<kIntakeBuckets> intakeBytes;
    std::uint64_t resumes[static_cast<int>(ResumeOutcome::kCount)];
    std::uint64_t resumeReplayedMessages;
    // Times a client over its message rate was held back, and those held now.
    std::uint64_t holdBacks;
    std::int64_t clientsHeld;
    // Messages of listen-only clients refused with "@DENIED".
    std::uint64_t deniedMessages;

    void Ended(EndCause cause) { ++ended[static_cast<int>(cause)]; }
    void Accepted(ListenerKind kind) {
        ++accepted;
        ++connected[static_cast<int>(kind)];
    }
    void Refused(RefusalCause cause) { ++refused[static_cast<int>(cause)]; }
    void Connected(ListenerKind kind, int change) { connected[static_cast<int>(kind)] += change; }
    void Resumed(ResumeOutcome outcome, std::uint64_t replayed) {
        ++resumes[static_cast<int>(outcome)];
        resumeReplayedMessages += replayed;
    }
};

// The process's one set, zero at start.
extern CMetrics g_metrics;
