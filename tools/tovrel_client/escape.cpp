#include "tools/tovrel_client/escape.h"

#include <cstddef>

namespace {

void AppendHex(std::string* out, unsigned char byte) {
    static const char kDigits[] = "0123456789abcdef";
    out->append("\\x");
    out->push_back(kDigits[byte >> 4]);
    out->push_back(kDigits[byte & 0x0F]);
}

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Length of the well-formed UTF-8 sequence that starts at `at`, or 0. Rejects
// overlong forms, surrogates and code points past U+10FFFF.
std::size_t SequenceLength(const std::string& s, std::size_t at) {
    const unsigned char lead = static_cast<unsigned char>(s[at]);
    std::size_t length = 0;
    unsigned char low = 0x80;  // allowed range of the second byte
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (at + length > s.size()) {
        return 0;
    }
    const unsigned char second = static_cast<unsigned char>(s[at + 1]);
    if (second < low || second > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (!IsContinuation(static_cast<unsigned char>(s[at + i]))) {
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string EscapePayload(const std::string& payload) {
    std::string out;
    out.reserve(payload.size());
    std::size_t i = 0;
    while (i < payload.size()) {
        const unsigned char byte = static_cast<unsigned char>(payload[i]);
        if (byte < 0x80) {
            switch (byte) {
                case '\\':
                    out.append("\\\\");
                    break;
                case '\n':
                    out.append("\\n");
                    break;
                case '\r':
                    out.append("\\r");
                    break;
                case '\t':
                    out.append("\\t");
                    break;
                default:
                    if (byte < 0x20 || byte == 0x7F) {
                        AppendHex(&out, byte);
                    } else {
                        out.push_back(static_cast<char>(byte));
                    }
            }
            ++i;
            continue;
        }
        const std::size_t length = SequenceLength(payload, i);
        // U+0080..U+009F are the C1 controls, encoded C2 80..C2 9F.
        const bool c1Control =
            length == 2 && byte == 0xC2 && static_cast<unsigned char>(payload[i + 1]) < 0xA0;
        if (length == 0 || c1Control) {
            const std::size_t count = c1Control ? 2 : 1;
            for (std::size_t k = 0; k < count; ++k) {
                AppendHex(&out, static_cast<unsigned char>(payload[i + k]));
            }
            i += count;
            continue;
        }
        out.append(payload, i, length);
        i += length;
    }
    return out;
}
