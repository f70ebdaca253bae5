#pragma once

#include <cstddef>

// Whether `length` bytes are well-formed UTF-8: shortest forms only, no
// surrogates, nothing above U+10FFFF. A WebSocket text message must be.
inline bool IsValidUtf8(const unsigned char* s, std::size_t length) {
    std::size_t i = 0;
    while (i < length) {
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t more;
        unsigned char lo = 0x80;
        unsigned char hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            more = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            if (c == 0xE0) {
                lo = 0xA0;  // no overlong forms
            } else if (c == 0xED) {
                hi = 0x9F;  // no surrogates
            }
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            if (c == 0xF0) {
                lo = 0x90;
            } else if (c == 0xF4) {
                hi = 0x8F;  // nothing above U+10FFFF
            }
        } else {
            return false;
        }
        if (length - i <= more) {
            return false;
        }
        if (s[i + 1] < lo || s[i + 1] > hi) {
            return false;
        }
        for (std::size_t k = 2; k <= more; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) {
                return false;
            }
        }
        i += more + 1;
    }
    return true;
}
