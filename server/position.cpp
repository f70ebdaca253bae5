#include "server/position.h"

#include <cinttypes>
#include <cstdio>

namespace {
// Reads digits from `*at` up to `end`; false when there are none or the
// number passes 64 bits.
bool ReadNumber(const char** at, const char* end, std::uint64_t* value) {
    const char* start = *at;
    std::uint64_t n = 0;
    while (*at < end && **at >= '0' && **at <= '9') {
        unsigned digit = static_cast<unsigned>(**at - '0');
        if (n > (UINT64_MAX - digit) / 10) {
            return false;
        }
        n = n * 10 + digit;
        ++*at;
    }
    *value = n;
    return *at != start;
}
}  // namespace

bool ParsePosition(const char* text, std::size_t length, CPosition* position) {
    if (length >= kPositionTextSize) {
        return false;
    }
    const char* at = text;
    const char* end = text + length;
    CPosition read;
    if (!ReadNumber(&at, end, &read.major) || at == end || *at != '-') {
        return false;
    }
    ++at;
    if (!ReadNumber(&at, end, &read.minor) || at != end) {
        return false;
    }
    *position = read;
    return true;
}

int FormatPosition(const CPosition& position, char* out) {
    return std::snprintf(out, kPositionTextSize, "%" PRIu64 "-%" PRIu64, position.major,
                         position.minor);
}
