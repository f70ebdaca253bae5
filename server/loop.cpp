#include "server/loop.h"

#include <cstdint>

#include "console/console.h"
#include "platform/platform.h"
#include "server/metrics_glue.h"
#include "server/server.h"
#include "server/settings.h"

std::atomic<unsigned char> g_quit{0};
std::atomic<unsigned char> g_drainRequested{0};
std::atomic<unsigned char> g_reloadRequested{0};

namespace {
// Whether the passes go on after the stop requests so far.
bool GoOn(int drainSeconds) {
    if (g_quit.load() != 0) {
        return false;
    }
    if (g_drainRequested.load() != 0 && !g_server.Draining()) {
        if (drainSeconds <= 0) {
            return false;
        }
        int closing = g_server.BeginDrain(drainSeconds * 1000LL);
        ConsolePrint("Draining %d clients over %d s\n", closing, drainSeconds);
    }
    return !g_server.Drained();
}

// Waits for the next pass with --low-latency: until the sockets have
// something or a deadline comes, at most a pass sleep after the pass
// started at `startedUs`, and at least the gap after it. A pass that
// `moved` no byte was woken by what it could not take yet (bytes of a
// client held back by its rate stay in the socket): the next waits the
// longer gap, so that such a wake costs no more than a pass a millisecond.
void AwaitNextPass(CPlatform& platform, std::uint64_t startedUs, bool moved) {
    long long workedMs = static_cast<long long>((platform.MicroTicks() - startedUs) / 1000u);
    long long timeout = g_server.WaitMs(kPassSleepMs) - workedMs;
    if (timeout > 0) {
        platform.WaitReadiness(static_cast<int>(timeout));
    }
    std::uint64_t sinceUs = platform.MicroTicks() - startedUs;
    const std::uint64_t gapUs = static_cast<std::uint64_t>(moved ? kMinPassGapUs : kStillPassGapUs);
    if (sinceUs < gapUs) {
        // Only what is left of the gap: a whole millisecond more would hold
        // back what arrived meanwhile.
        platform.SleepMicros(static_cast<std::uint32_t>(gapUs - sinceUs));
    }
}

std::uint64_t BytesMoved() {
    return g_metrics.bytesReceived + g_metrics.bytesSent;
}
}  // namespace

void RunServerLoop(CPassTimer* timer, int drainSeconds, const std::function<void()>& reload) {
    CPlatform& platform = Platform();
    std::uint32_t last = platform.TickCount();
    while (GoOn(drainSeconds)) {
        // Here, never in the signal handler: a reload reads files and
        // changes what the pass uses.
        if (g_reloadRequested.exchange(0) != 0 && reload) {
            reload();
        }
        std::uint64_t startedUs = g_settings.lowLatency ? platform.MicroTicks() : 0;
        std::uint64_t movedBefore = BytesMoved();
        std::uint32_t now = platform.TickCount();
        // Signed difference: survives the clock wrapping at 2^32.
        int elapsed = static_cast<int>(static_cast<std::int32_t>(now - last));
        last = now;
        if (elapsed > kMaxElapsedMs) {
            elapsed = kMaxElapsedMs;
        }
        g_server.Update(elapsed);
        // What the pass printed and the output could not take at once.
        ConsoleFlush();
        if (timer != nullptr) {
            timer->Worked();
        }
        // The wait counts as sleep.
        if (g_settings.lowLatency) {
            AwaitNextPass(platform, startedUs, BytesMoved() != movedBefore);
        } else {
            platform.SleepMs(kPassSleepMs);
        }
        if (timer != nullptr) {
            timer->Slept();
        }
    }
}
