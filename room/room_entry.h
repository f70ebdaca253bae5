#pragma once

#include <hiredis/hiredis.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "room/redis_command.h"

constexpr std::size_t kMaxTagLength = 16;  // hex digits of a writer's tag

// Who wrote an entry: the writer's tag and its message number.
struct COrigin {
    std::string tag;
    std::uint64_t seq = 0;
};

// A room's stream entry as this system writes and reads it: the field "m",
// the message (no longer than a client's frame and without a NUL, as a
// client's message is cut at its first one), and "o", its origin
// "TAG:NUMBER" (1 to kMaxTagLength hex digits, a colon, a number that fits
// 64 bits). Write puts the fields on an XADD; Read checks an entry as XREAD
// and XREVRANGE return it (its ID, then its fields) and, when it is a
// message, keeps its text and its origin, parsed once, until the next Read.
class CRoomEntry {
  public:
    // Adds the fields of `text` (`length` bytes) from `tag`:`seq` to
    // `command`. The origin's text is kept here, so this must outlive the
    // command's Append and not be written again before it.
    void Write(CRedisCommand& command, const char* text, std::size_t length, const std::string& tag,
               std::uint64_t seq);

    // Null when `entry` is a message this system could have written; why
    // not otherwise.
    const char* Read(const redisReply* entry);
    const redisReply* Text() const { return text_; }
    const COrigin& Origin() const { return origin_; }
    // A heap copy of the text, as a received message would be; null without
    // memory (the message is then dropped, as a local one would be).
    char* CopyText() const;

    // The entry's ID as Redis sent it; null when it has none.
    static const redisReply* Id(const redisReply* entry);
    // Whether the reply filter held part of `entry` back (a bulk within a
    // frame's length that came past the reply's bound): it is to be read
    // again.
    static bool HeldBack(const redisReply* entry);

  private:
    char originText_[kMaxTagLength + 24] = {};
    const redisReply* text_ = nullptr;
    COrigin origin_;
};
