#include "platform/posix/readiness.h"

#include <unistd.h>
#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <sys/epoll.h>
#endif

namespace {
// Marks a socket the set could not take: it may always read.
constexpr std::uint32_t kAlways = 0xFFFFFFFFu;
}  // namespace

CReadiness::~CReadiness() {
#if defined(__linux__)
    if (epoll_ >= 0) {
        ::close(epoll_);
    }
#endif
    std::free(seen_);
    std::free(events_);
}

bool CReadiness::CoverDescriptor(int fd) {
    if (fd < seenCount_) {
        return true;
    }
    int count = seenCount_ == 0 ? 1024 : seenCount_;
    while (count <= fd) {
        count *= 2;
    }
    void* grown = std::realloc(seen_, static_cast<size_t>(count) * sizeof *seen_);
    if (grown == nullptr) {
        return false;
    }
    seen_ = static_cast<std::uint32_t*>(grown);
    std::memset(seen_ + seenCount_, 0, static_cast<size_t>(count - seenCount_) * sizeof *seen_);
    seenCount_ = count;
    return true;
}

#if defined(__linux__)

bool CReadiness::CoverEvents(int count) {
    if (count <= eventCapacity_) {
        return true;
    }
    int capacity = eventCapacity_ == 0 ? 256 : eventCapacity_;
    while (capacity < count) {
        capacity *= 2;
    }
    void* grown = std::realloc(events_, static_cast<size_t>(capacity) * sizeof(epoll_event));
    if (grown == nullptr) {
        return false;
    }
    events_ = grown;
    eventCapacity_ = capacity;
    return true;
}

void CReadiness::Watch(int fd) {
    if (epoll_ < 0 && !epollFailed_) {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        epollFailed_ = epoll_ < 0;
    }
    if (!CoverDescriptor(fd)) {
        return;  // beyond the table: MayRead answers yes
    }
    epoll_event ev = {};
    ev.events = EPOLLIN;  // a close or an error is reported as well
    ev.data.fd = fd;
    if (epoll_ >= 0 && ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) == 0) {
        seen_[fd] = look_;
        ++watched_;
    } else {
        seen_[fd] = kAlways;
    }
}

void CReadiness::Forget(int fd) {
    if (fd < 0 || fd >= seenCount_) {
        return;
    }
    if (seen_[fd] != 0 && seen_[fd] != kAlways && epoll_ >= 0 &&
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr) == 0) {
        --watched_;
    }
    seen_[fd] = 0;
}

void CReadiness::Refresh() {
    if (epoll_ < 0 || watched_ == 0) {
        return;
    }
    // Skips kAlways and 0 when the count wraps; a stale match only costs a receive.
    look_ = look_ + 1 >= kAlways ? 1 : look_ + 1;
    CoverEvents(watched_);
    epoll_event* events = static_cast<epoll_event*>(events_);
    int n = eventCapacity_ > 0 ? ::epoll_wait(epoll_, events, eventCapacity_, 0) : -1;
    // A failed look, or a full one that could not hold every socket, tells
    // nothing about the rest: they all may read in this pass.
    lookIncomplete_ = n < 0 || (n == eventCapacity_ && eventCapacity_ < watched_);
    for (int i = 0; i < n; ++i) {
        int fd = events[i].data.fd;
        if (fd >= 0 && fd < seenCount_ && seen_[fd] != kAlways && seen_[fd] != 0) {
            seen_[fd] = look_;
        }
    }
}

#else  // no epoll: every socket may read

bool CReadiness::CoverEvents(int) {
    return false;
}
void CReadiness::Watch(int fd) {
    if (CoverDescriptor(fd)) {
        seen_[fd] = kAlways;
    }
}
void CReadiness::Forget(int fd) {
    if (fd >= 0 && fd < seenCount_) {
        seen_[fd] = 0;
    }
}
void CReadiness::Refresh() {}

#endif

bool CReadiness::MayRead(int fd) const {
    if (epoll_ < 0 || lookIncomplete_ || fd < 0 || fd >= seenCount_) {
        return true;
    }
    // 0: a socket this set never watched, so nothing is known about it.
    return seen_[fd] == look_ || seen_[fd] == kAlways || seen_[fd] == 0;
}
