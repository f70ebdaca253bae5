#include "server/loop.h"

#include <cstdint>

#include "console/console.h"
#include "platform/platform.h"
#include "server/metrics_glue.h"
#include "server/server.h"

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
        platform.SleepMs(kPassSleepMs);
        if (timer != nullptr) {
            timer->Slept();
        }
    }
}
