#pragma once

// Event lines for the operator, on standard output. Each line goes out at
// once while the output takes it, so that a pipe or log file sees it while
// the server runs; an output that stops taking lines never holds up the
// caller: lines wait in a bounded backlog, and past that they are counted
// (see console_backlog.h). The server flushes the backlog every pass.
void ConsolePrint(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Writes what waits for the output, as far as it takes it now.
void ConsoleFlush();
// At stop: waits up to about `ms` for what waits to be written, then gives up.
void ConsoleFinish(int ms);

// Start-up errors, on standard error.
void ConsoleError(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Tests divert event lines to a sink instead of standard output; null
// restores standard output.
using ConsoleSink = void (*)(const char* line);
void SetConsoleSink(ConsoleSink sink);
