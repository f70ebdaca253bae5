#pragma once

// Event lines for the operator. Each line is flushed at once so that a pipe
// or log file sees it while the server runs (some C runtimes fully buffer
// stdout when it is not a terminal).
void ConsolePrint(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

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
