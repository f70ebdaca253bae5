#include "room/reply_filter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "stream/frame.h"

namespace {
constexpr std::size_t kMaxLine = 64u << 10;  // a status or error line, a header
constexpr std::size_t kMaxDepth = 16;        // replies the link asks for nest 5 deep
}  // namespace

bool CReplyFilter::Feed(const char* data, std::size_t length, std::string* out) {
    const char* at = data;
    const char* end = data + length;
    while (at < end) {
        if (!error_.empty()) {
            return false;
        }
        if (payloadLeft_ > 0) {
            std::size_t n = std::min<std::size_t>(payloadLeft_, static_cast<std::size_t>(end - at));
            if (keeping_) {
                out->append(at, n);
            }
            at += n;
            payloadLeft_ -= n;
            if (payloadLeft_ == 0) {
                Completed();
            }
            continue;
        }
        const char* newline = static_cast<const char*>(std::memchr(at, '\n', end - at));
        const char* stop = newline != nullptr ? newline + 1 : end;
        line_.append(at, stop);
        at = stop;
        if (line_.size() > kMaxLine) {
            error_ = "Protocol error: reply line too long";
            return false;
        }
        if (newline != nullptr && !OnLine(out)) {
            return false;
        }
    }
    return error_.empty();
}

bool CReplyFilter::OnLine(std::string* out) {
    std::string line;
    line.swap(line_);
    if (line.size() < 3 || line[line.size() - 2] != '\r') {
        error_ = "Protocol error: bad reply line";
        return false;
    }
    char type = line[0];
    if (type != '$' && type != '*') {
        out->append(line);  // status, error, integer: complete in one line
        Completed();
        return true;
    }
    char* numberEnd = nullptr;
    long long n = std::strtoll(line.c_str() + 1, &numberEnd, 10);
    if (numberEnd != line.c_str() + line.size() - 2) {
        error_ = "Protocol error: bad length";
        return false;
    }
    if (type == '*') {
        out->append(line);
        if (n <= 0) {
            Completed();
        } else if (openArrays_.size() >= kMaxDepth) {
            error_ = "Protocol error: reply nested too deep";
            return false;
        } else {
            openArrays_.push_back(n);
        }
        return true;
    }
    if (n < 0) {
        out->append(line);  // the null bulk
        Completed();
        return true;
    }
    std::size_t size = static_cast<std::size_t>(n);
    keeping_ = size <= frame::kMaxPayload && (replyBytes_ < kMaxReplyBytes || size <= kSmallBulk);
    if (keeping_) {
        out->append(line);
        replyBytes_ += size;
    } else {
        out->append(":" + std::to_string(size) + "\r\n");
    }
    payloadLeft_ = size + 2;
    return true;
}

void CReplyFilter::Completed() {
    while (!openArrays_.empty()) {
        if (--openArrays_.back() > 0) {
            return;
        }
        openArrays_.pop_back();
    }
    replyBytes_ = 0;  // a top-level reply ends here
}
