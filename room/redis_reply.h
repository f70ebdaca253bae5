#pragma once

#include <hiredis/hiredis.h>

#include <cstring>

// Small readers for the replies the room link gets, RESP2 shapes as hiredis
// builds them. Each returns null or false for a reply of another shape.
namespace reply {

inline bool IsError(const redisReply* r) {
    return r != nullptr && r->type == REDIS_REPLY_ERROR;
}

// The error Redis gives for a stream that does not exist.
inline bool NoSuchKey(const redisReply* r) {
    return IsError(r) && std::strstr(r->str, "no such key") != nullptr;
}

inline bool IsArray(const redisReply* r, std::size_t atLeast = 0) {
    return r != nullptr && r->type == REDIS_REPLY_ARRAY && r->elements >= atLeast;
}

inline bool IsText(const redisReply* r) {
    return r != nullptr && (r->type == REDIS_REPLY_STRING || r->type == REDIS_REPLY_STATUS);
}

inline bool Equals(const redisReply* r, const char* text) {
    return IsText(r) && r->len == std::strlen(text) && std::memcmp(r->str, text, r->len) == 0;
}

// The value after `name` in a flat name/value array (XINFO, entry fields).
inline const redisReply* Field(const redisReply* pairs, const char* name) {
    if (!IsArray(pairs)) {
        return nullptr;
    }
    for (std::size_t i = 0; i + 1 < pairs->elements; i += 2) {
        if (Equals(pairs->element[i], name)) {
            return pairs->element[i + 1];
        }
    }
    return nullptr;
}

inline bool Integer(const redisReply* r, long long* value) {
    if (r == nullptr || r->type != REDIS_REPLY_INTEGER) {
        return false;
    }
    *value = r->integer;
    return true;
}

}  // namespace reply
