#pragma once

#include <cstddef>
#include <deque>
#include <string>

// Cuts standard input into lines to send: "\n" ends a line, and a "\r" just
// before it goes too, so CR LF input works. A line longer than maxLength is
// not kept in memory: it comes out as kTooLong with its length instead.
class CLineSplitter {
  public:
    enum Result { kNone, kLine, kTooLong };

    explicit CLineSplitter(std::size_t maxLength) : maxLength_(maxLength) {}

    void Feed(const char* data, std::size_t count);
    // At end of input: an unterminated last line counts as a line.
    void Finish();
    // The next line (kLine) or the length of a dropped one (kTooLong, in *length).
    Result Next(std::string* line, std::size_t* length);

  private:
    struct Item {
        Result kind;
        std::string text;
        std::size_t length;
    };
    void EndLine();

    std::size_t maxLength_;
    std::string current_;
    bool discarding_ = false;    // inside a line already known to be too long
    std::size_t discarded_ = 0;  // its length so far
    std::deque<Item> ready_;
};
