#include "console/console.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "console/console_backlog.h"
#include "platform/platform.h"

namespace {
ConsoleSink g_sink = nullptr;

// What may wait for a slow output: some thousands of lines.
constexpr std::size_t kBacklogBytes = 64 * 1024;
// Longer lines (none the server prints comes near) are cut to this.
constexpr std::size_t kLongestLine = 8192;
// How often the stop looks whether the output has taken what waits.
constexpr int kFinishStepMs = 10;

// Set up before any code runs (a constexpr constructor), nothing to destroy.
char g_ring[kBacklogBytes];
CConsoleBacklog g_backlog(g_ring, sizeof g_ring);
}  // namespace

void SetConsoleSink(ConsoleSink sink) {
    g_sink = sink;
}

void ConsolePrint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    char line[512];
    int length = std::vsnprintf(line, sizeof line, format, args);
    if (g_sink != nullptr) {
        g_sink(line);
    } else if (length >= 0 && static_cast<std::size_t>(length) < sizeof line) {
        g_backlog.Add(Platform(), line, static_cast<std::size_t>(length));
    } else if (length >= 0) {
        std::size_t size = static_cast<std::size_t>(length) + 1;
        std::vector<char> longer(size < kLongestLine ? size : kLongestLine);
        std::vsnprintf(longer.data(), longer.size(), format, again);
        std::size_t kept = longer.size() - 1;
        if (kept < static_cast<std::size_t>(length)) {
            longer[kept - 1] = '\n';  // a cut line still ends its line
        }
        g_backlog.Add(Platform(), longer.data(), kept);
    }
    va_end(again);
    va_end(args);
}

void ConsoleFlush() {
    if (g_sink == nullptr) {
        g_backlog.Flush(Platform());
    }
}

void ConsoleFinish(int ms) {
    if (g_sink != nullptr) {
        return;
    }
    CPlatform& platform = Platform();
    for (int waited = 0;; waited += kFinishStepMs) {
        g_backlog.Flush(platform);
        if ((g_backlog.Empty() && !platform.OutputPending()) || waited >= ms) {
            return;
        }
        platform.SleepMs(kFinishStepMs);
    }
}

void ConsoleError(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fflush(stderr);
}
