#include "console/console.h"

#include <cstdarg>
#include <cstdio>

namespace {
ConsoleSink g_sink = nullptr;
}

void SetConsoleSink(ConsoleSink sink) {
    g_sink = sink;
}

void ConsolePrint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (g_sink != nullptr) {
        char line[512];
        std::vsnprintf(line, sizeof line, format, args);
        g_sink(line);
    } else {
        std::vprintf(format, args);
        std::fflush(stdout);
    }
    va_end(args);
}

void ConsoleError(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fflush(stderr);
}
