#pragma once

#include <cstddef>
#include <cstdint>

// Where a relayed message stands in the room: MAJOR-MINOR, two decimal
// unsigned 64-bit numbers, ordered by major, then minor. In a room it is
// the stream entry's id; alone, MAJOR is the server's epoch and MINOR
// counts its relayed messages from 1.
struct CPosition {
    std::uint64_t major = 0;
    std::uint64_t minor = 0;

    bool operator==(const CPosition& o) const { return major == o.major && minor == o.minor; }
    bool operator<(const CPosition& o) const {
        return major < o.major || (major == o.major && minor < o.minor);
    }
};

// Room for the longest position's text and its NUL.
constexpr std::size_t kPositionTextSize = 42;

// Reads the `length` bytes at `text` as a position: digits, one "-",
// digits, each part within 64 bits. False for anything else.
bool ParsePosition(const char* text, std::size_t length, CPosition* position);
// Writes the position's text and its NUL into `out` (kPositionTextSize
// bytes); returns the text's length.
int FormatPosition(const CPosition& position, char* out);
