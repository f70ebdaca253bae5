#include "tools/tovrel_client/resume_reader.h"

#include <cstddef>
#include <cstdlib>

namespace {
const char kResumed[] = "@RESUMED ";
}  // namespace

std::string CResumeReader::Request() {
    held_.clear();
    awaiting_ = !notResuming_;
    request_ = notResuming_ ? "" : position_.empty() ? "@RESUME" : "@RESUME " + position_;
    return request_;
}

CResumeReader::Output CResumeReader::Take(const std::string& frame) {
    Output out;
    const bool command = !frame.empty() && frame[0] == '@';
    if (!awaiting_) {
        if (command || notResuming_) {
            out.texts.push_back(frame);
        } else {
            Untag(frame, &out);
        }
        return out;
    }
    if (!command) {
        held_.push_back(frame);
    } else if (frame == request_) {
        // Relayed back: the server treats it as a message. What was held is
        // the history, untagged.
        notResuming_ = true;
        awaiting_ = false;
        out.notResuming = true;
        out.texts.swap(held_);
    } else if (frame.compare(0, sizeof kResumed - 1, kResumed) == 0) {
        // "@RESUMED NEWEST REPLAYED MISSED"
        const std::size_t a = frame.find(' ', sizeof kResumed - 1);
        const std::size_t b = a == std::string::npos ? a : frame.find(' ', a + 1);
        if (b == std::string::npos) {
            out.texts.push_back(frame);
            return out;
        }
        const std::string newest = frame.substr(sizeof kResumed - 1, a - (sizeof kResumed - 1));
        const unsigned long long replayed = std::strtoull(frame.c_str() + a + 1, nullptr, 10);
        const std::size_t from = replayed < held_.size() ? held_.size() - replayed : 0;
        for (std::size_t i = from; i < held_.size(); ++i) {
            Untag(held_[i], &out);
        }
        held_.clear();
        awaiting_ = false;
        // "-": the server holds nothing, so none of our positions means anything to it.
        position_ = newest == "-" ? "" : newest;
        const std::string missed = frame.substr(b + 1);
        if (missed != "0") {
            out.missed = missed;
        }
    } else {
        out.texts.push_back(frame);
    }
    return out;
}

void CResumeReader::Untag(const std::string& frame, Output* out) {
    const std::size_t space = frame.find(' ');
    position_ = frame.substr(0, space);
    out->texts.push_back(space == std::string::npos ? std::string() : frame.substr(space + 1));
}

std::string MissedText(const std::string& missed) {
    if (missed == "?") {
        return "some messages may have been missed";
    }
    return missed + (missed == "1" ? " message was missed" : " messages were missed");
}
