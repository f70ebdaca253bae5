#include "room/stream_id.h"

#include <cstdio>

namespace {
// Reads decimal digits into *value; false for none, too many or overflow.
bool ReadNumber(const char*& at, const char* end, std::uint64_t* value) {
    const char* start = at;
    std::uint64_t result = 0;
    while (at < end && *at >= '0' && *at <= '9') {
        std::uint64_t digit = static_cast<std::uint64_t>(*at - '0');
        if (result > (UINT64_MAX - digit) / 10) {
            return false;
        }
        result = result * 10 + digit;
        ++at;
    }
    *value = result;
    return at > start;
}
}  // namespace

bool CStreamId::Parse(const char* text, std::size_t length) {
    const char* at = text;
    const char* end = text + length;
    std::uint64_t newMs = 0, newSeq = 0;
    if (!ReadNumber(at, end, &newMs) || at == end || *at != '-') {
        return false;
    }
    ++at;
    if (!ReadNumber(at, end, &newSeq) || at != end) {
        return false;
    }
    ms = newMs;
    seq = newSeq;
    return true;
}

std::string CStreamId::ToString() const {
    char text[48];
    std::snprintf(text, sizeof text, "%llu-%llu", static_cast<unsigned long long>(ms),
                  static_cast<unsigned long long>(seq));
    return text;
}
