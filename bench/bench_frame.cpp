#include "bench_frame.h"

#include <cstdio>

#include "stream/frame.h"

namespace {

void AppendLength(std::string& out, int size) {
    unsigned char header[frame::kHeaderSize];
    frame::EncodeLength(size, header);
    out.append(reinterpret_cast<const char*>(header), sizeof header);
}

bool ParseHex(const unsigned char* p, int digits, std::uint64_t& value) {
    value = 0;
    for (int i = 0; i < digits; ++i) {
        unsigned char c = p[i];
        unsigned d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else {
            return false;
        }
        value = (value << 4) | d;
    }
    return true;
}

}  // namespace

void AppendBenchPayload(std::string& out, const BenchFrame& f, int size) {
    char head[kBenchFrameMinSize + 1];
    std::snprintf(head, sizeof head, "b%08x%08x%08x%016llx", f.run, f.sender, f.seq,
                  static_cast<unsigned long long>(f.sentNs));
    out.append(head, kBenchFrameMinSize);
    out.append(static_cast<size_t>(size - kBenchFrameMinSize), '.');
}

void AppendFillerFrame(std::string& out, int size) {
    AppendLength(out, size);
    out.append(static_cast<size_t>(size), '.');
}

bool ParseBenchFrame(const unsigned char* p, std::uint32_t length, BenchFrame& f) {
    if (length < static_cast<std::uint32_t>(kBenchFrameMinSize) || p[0] != 'b') {
        return false;
    }
    std::uint64_t run, sender, seq, sent;
    if (!ParseHex(p + 1, 8, run) || !ParseHex(p + 9, 8, sender) || !ParseHex(p + 17, 8, seq) ||
        !ParseHex(p + 25, 16, sent)) {
        return false;
    }
    f.run = static_cast<std::uint32_t>(run);
    f.sender = static_cast<std::uint32_t>(sender);
    f.seq = static_cast<std::uint32_t>(seq);
    f.sentNs = static_cast<std::int64_t>(sent);
    return true;
}
