#include "tools/tovrel_client/line_splitter.h"

#include <cstring>

void CLineSplitter::Feed(const char* data, std::size_t count) {
    while (count > 0) {
        const char* newline = static_cast<const char*>(std::memchr(data, '\n', count));
        const std::size_t part =
            newline != nullptr ? static_cast<std::size_t>(newline - data) : count;
        if (discarding_) {
            discarded_ += part;
        } else {
            current_.append(data, part);
            // One byte of slack for a "\r" that may still turn out to be a line end.
            if (current_.size() > maxLength_ + 1) {
                discarding_ = true;
                discarded_ = current_.size();
                current_.clear();
                current_.shrink_to_fit();
            }
        }
        if (newline == nullptr) {
            return;
        }
        EndLine();
        data += part + 1;
        count -= part + 1;
    }
}

void CLineSplitter::Finish() {
    if (discarding_ || !current_.empty()) {
        EndLine();
    }
}

void CLineSplitter::EndLine() {
    if (discarding_) {
        ready_.push_back({kTooLong, std::string(), discarded_});
        discarding_ = false;
        discarded_ = 0;
        return;
    }
    if (!current_.empty() && current_.back() == '\r') {
        current_.pop_back();
    }
    if (current_.size() > maxLength_) {
        ready_.push_back({kTooLong, std::string(), current_.size()});
    } else {
        ready_.push_back({kLine, current_, current_.size()});
    }
    current_.clear();
}

CLineSplitter::Result CLineSplitter::Next(std::string* line, std::size_t* length) {
    if (ready_.empty()) {
        return kNone;
    }
    Item& item = ready_.front();
    const Result kind = item.kind;
    line->swap(item.text);
    *length = item.length;
    ready_.pop_front();
    return kind;
}
