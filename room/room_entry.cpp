#include "room/room_entry.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "room/redis_reply.h"
#include "stream/frame.h"
#include "stream/heap.h"

namespace {

const char kTextField[] = "m";
const char kOriginField[] = "o";

// Parses "TAG:NUMBER" into *origin; false, leaving it as it was, for
// anything else.
bool ParseOrigin(const redisReply* o, COrigin* origin) {
    if (o == nullptr || o->type != REDIS_REPLY_STRING) {
        return false;
    }
    const char* at = o->str;
    const char* end = o->str + o->len;
    const char* tagEnd = at;
    while (tagEnd < end && tagEnd - at <= static_cast<std::ptrdiff_t>(kMaxTagLength) &&
           std::isxdigit(static_cast<unsigned char>(*tagEnd))) {
        ++tagEnd;
    }
    std::size_t tagLength = static_cast<std::size_t>(tagEnd - at);
    if (tagLength == 0 || tagLength > kMaxTagLength || tagEnd == end || *tagEnd != ':') {
        return false;
    }
    std::uint64_t seq = 0;
    const char* d = tagEnd + 1;
    for (; d < end && *d >= '0' && *d <= '9'; ++d) {
        std::uint64_t digit = static_cast<std::uint64_t>(*d - '0');
        if (seq > (UINT64_MAX - digit) / 10) {
            return false;
        }
        seq = seq * 10 + digit;
    }
    if (d == tagEnd + 1 || d != end) {
        return false;
    }
    origin->tag.assign(at, tagLength);
    origin->seq = seq;
    return true;
}

}  // namespace

void CRoomEntry::Write(CRedisCommand& command, const char* text, std::size_t length,
                       const std::string& tag, std::uint64_t seq) {
    int originSize = std::snprintf(originText_, sizeof originText_, "%s:%llu", tag.c_str(),
                                   static_cast<unsigned long long>(seq));
    command.Word(kTextField).Word(text, length).Word(kOriginField);
    command.Word(originText_, static_cast<std::size_t>(originSize));
}

const char* CRoomEntry::Read(const redisReply* entry) {
    text_ = nullptr;
    const redisReply* fields = reply::IsArray(entry, 2) ? entry->element[1] : nullptr;
    if (fields == nullptr) {
        return "not an entry";
    }
    if (!reply::IsArray(fields) || fields->elements != 4) {
        return "not the fields m and o";
    }
    const redisReply* m = reply::Field(fields, kTextField);
    const redisReply* o = reply::Field(fields, kOriginField);
    long long length = 0;
    if (reply::Integer(m, &length) && length > static_cast<long long>(frame::kMaxPayload)) {
        return "text longer than a frame";  // read past, never held (CReplyFilter)
    }
    if (m == nullptr || o == nullptr || m->type != REDIS_REPLY_STRING ||
        o->type != REDIS_REPLY_STRING) {
        return "not the fields m and o";
    }
    if (m->len > frame::kMaxPayload) {
        return "text longer than a frame";
    }
    if (std::memchr(m->str, '\0', m->len) != nullptr) {
        return "text with a NUL byte";
    }
    if (!ParseOrigin(o, &origin_)) {
        return "malformed origin";
    }
    text_ = m;
    return nullptr;
}

char* CRoomEntry::CopyText() const {
    char* copy = static_cast<char*>(HeapRealloc(nullptr, text_->len + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text_->str, text_->len);
        copy[text_->len] = '\0';
    }
    return copy;
}

const redisReply* CRoomEntry::Id(const redisReply* entry) {
    return reply::IsArray(entry, 1) ? entry->element[0] : nullptr;
}

bool CRoomEntry::HeldBack(const redisReply* entry) {
    const redisReply* fields = reply::IsArray(entry, 2) ? entry->element[1] : nullptr;
    for (std::size_t i = 0; reply::IsArray(fields) && i < fields->elements; ++i) {
        long long length = 0;
        if (reply::Integer(fields->element[i], &length) &&
            length <= static_cast<long long>(frame::kMaxPayload)) {
            return true;
        }
    }
    return false;
}
