#include "console/console_backlog.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {
// Offers text to the output until it takes no more: the bytes taken, or
// kIoError when the output is gone.
long long Offer(CPlatform& platform, const char* text, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        std::size_t piece = length - done;
        int taken =
            platform.WriteOutput(text + done, piece > INT_MAX ? INT_MAX : static_cast<int>(piece));
        if (taken == kIoError) {
            return kIoError;
        }
        if (taken <= 0) {
            break;
        }
        done += static_cast<std::size_t>(taken);
    }
    return static_cast<long long>(done);
}
}  // namespace

void CConsoleBacklog::Add(CPlatform& platform, const char* line, std::size_t length) {
    if (used_ == 0 && missed_ == 0) {
        long long taken = Offer(platform, line, length);
        if (taken != kIoError && static_cast<std::size_t>(taken) < length) {
            Put(line + taken, length - static_cast<std::size_t>(taken));
        }
        return;
    }
    // Behind a gap, lines wait for the count to go out first.
    if (missed_ == 0 && length <= capacity_ - used_) {
        Put(line, length);
    } else {
        ++missed_;
    }
}

void CConsoleBacklog::Flush(CPlatform& platform) {
    for (;;) {
        if (used_ == 0) {
            if (missed_ == 0) {
                return;
            }
            NoteMissed();
        }
        std::size_t run = capacity_ - head_;
        run = run < used_ ? run : used_;
        long long taken = Offer(platform, &ring_[head_], run);
        if (taken == kIoError) {
            LetGo();
            return;
        }
        head_ = (head_ + static_cast<std::size_t>(taken)) % capacity_;
        used_ -= static_cast<std::size_t>(taken);
        if (static_cast<std::size_t>(taken) < run) {
            return;  // the output is full for now
        }
    }
}

void CConsoleBacklog::Put(const char* text, std::size_t length) {
    std::size_t tail = (head_ + used_) % capacity_;
    std::size_t first = capacity_ - tail;
    first = first < length ? first : length;
    std::memcpy(&ring_[tail], text, first);
    std::memcpy(&ring_[0], text + first, length - first);
    used_ += length;
}

void CConsoleBacklog::NoteMissed() {
    char line[64];
    int length = std::snprintf(line, sizeof line, "%llu console lines not written\n", missed_);
    missed_ = 0;
    Put(line, static_cast<std::size_t>(length));
}

void CConsoleBacklog::LetGo() {
    head_ = 0;
    used_ = 0;
    missed_ = 0;
}
