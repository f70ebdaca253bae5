#pragma once

#include <cstddef>

class CPlatform;

// Event text on its way to standard output. A line goes to the output at
// once while the output takes it; what the output cannot take yet waits
// here, up to `capacity` bytes, and goes out on later flushes in order and
// never cut. A line that finds no room is counted instead of kept: once
// what waits has drained, one line says how many were not written. When
// the output is gone (closed, broken), text is let go uncounted. The
// buffer is the caller's, of at least 64 bytes; lines must be shorter than
// it. Nothing to destroy, so lines printed while the process exits still
// find it.
class CConsoleBacklog {
  public:
    constexpr CConsoleBacklog(char* buffer, std::size_t capacity)
        : ring_(buffer), capacity_(capacity) {}
    // One whole line, ending in "\n": written, queued or counted.
    void Add(CPlatform& platform, const char* line, std::size_t length);
    // Writes what waits, as far as the output takes it now.
    void Flush(CPlatform& platform);
    // Nothing waits and no line is counted.
    bool Empty() const { return used_ == 0 && missed_ == 0; }

  private:
    // Copies text behind what waits; the room is the caller's to check.
    void Put(const char* text, std::size_t length);
    // After a drain: the count of lines not written, as a line of its own.
    void NoteMissed();
    // Forgets everything: the output is gone.
    void LetGo();

    char* ring_;
    std::size_t capacity_;
    std::size_t head_ = 0;
    std::size_t used_ = 0;
    unsigned long long missed_ = 0;
};
