#pragma once

#include <cstdint>
#include <string>

// A Redis stream entry ID, "<milliseconds>-<sequence>", ordered as Redis
// orders entries. "0-0" comes before every entry.
struct CStreamId {
    std::uint64_t ms = 0;
    std::uint64_t seq = 0;

    // False, leaving the ID as it was, when `text` is not of that form.
    bool Parse(const char* text, std::size_t length);
    std::string ToString() const;
    bool operator<(const CStreamId& other) const {
        return ms < other.ms || (ms == other.ms && seq < other.seq);
    }
    bool IsZero() const { return ms == 0 && seq == 0; }
    // The ID just before this one, so that a range up to it leaves this one
    // out (any Redis, not only those that take "(ID"); "0-0" has none.
    CStreamId Before() const {
        if (seq > 0) {
            return {ms, seq - 1};
        }
        return IsZero() ? *this : CStreamId{ms - 1, UINT64_MAX};
    }
};
