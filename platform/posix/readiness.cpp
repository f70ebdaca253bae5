#include "platform/posix/readiness.h"

#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <sys/epoll.h>
#endif

namespace {
// Marks a socket the set could not take: it may always read.
constexpr std::uint32_t kAlways = 0xFFFFFFFFu;

// Grows a malloc'ed array to hold at least `count` items, doubling from `first`.
bool Grow(void*& items, int& capacity, int count, int first, size_t itemSize) {
    if (count <= capacity) {
        return true;
    }
    int grown = capacity == 0 ? first : capacity;
    while (grown < count) {
        grown *= 2;
    }
    void* moved = std::realloc(items, static_cast<size_t>(grown) * itemSize);
    if (moved == nullptr) {
        return false;
    }
    items = moved;
    capacity = grown;
    return true;
}
}  // namespace

CReadiness::~CReadiness() {
#if defined(__linux__)
    if (epoll_ >= 0) {
        ::close(epoll_);
    }
    if (wake_ >= 0) {
        ::close(wake_);
    }
#endif
    std::free(seen_);
    std::free(events_);
    std::free(always_);
    std::free(ready_);
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

bool CReadiness::CoverReady(int count) {
    void* items = ready_;
    bool covered = Grow(items, readyCapacity_, count, 256, sizeof *ready_);
    ready_ = static_cast<SocketHandle*>(items);
    return covered;
}

void CReadiness::AddAlways(int fd) {
    void* items = always_;
    bool covered = Grow(items, alwaysCapacity_, alwaysCount_ + 1, 16, sizeof *always_);
    always_ = static_cast<int*>(items);
    if (covered) {
        always_[alwaysCount_++] = fd;
    } else {
        alwaysLost_ = true;
    }
}

void CReadiness::RemoveAlways(int fd) {
    for (int i = 0; i < alwaysCount_; ++i) {
        if (always_[i] == fd) {
            always_[i] = always_[--alwaysCount_];
            return;
        }
    }
}

#if defined(__linux__)

bool CReadiness::CoverEvents(int count) {
    return Grow(events_, eventCapacity_, count, 256, sizeof(epoll_event));
}

void CReadiness::Watch(int fd) {
    if (epoll_ < 0 && !epollFailed_) {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        epollFailed_ = epoll_ < 0;
    }
    if (!CoverDescriptor(fd)) {
        AddAlways(fd);  // beyond the table: MayRead answers yes
        return;
    }
    epoll_event ev = {};
    ev.events = EPOLLIN;  // a close or an error is reported as well
    ev.data.fd = fd;
    if (epoll_ >= 0 && ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) == 0) {
        seen_[fd] = look_;
        ++watched_;
    } else {
        seen_[fd] = kAlways;
        AddAlways(fd);
    }
}

void CReadiness::Forget(int fd) {
    if (fd < 0) {
        return;
    }
    // A closed listener leaves the wake set by itself.
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), fd), listeners_.end());
    if (fd >= seenCount_) {
        RemoveAlways(fd);
        return;
    }
    if (seen_[fd] == kAlways || seen_[fd] == 0) {
        RemoveAlways(fd);  // 0: perhaps one the table did not reach when it was watched
    } else if (seen_[fd] != 0 && epoll_ >= 0 &&
               ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr) == 0) {
        --watched_;
    }
    seen_[fd] = 0;
}

void CReadiness::Refresh() {
    readyCount_ = 0;
    lookIncomplete_ = false;
    if (epoll_ < 0) {
        return;
    }
    // Skips kAlways and 0 when the count wraps; a stale match only costs a receive.
    look_ = look_ + 1 >= kAlways ? 1 : look_ + 1;
    int n = 0;
    epoll_event* events = nullptr;
    if (watched_ > 0) {
        // Room for every watched socket, so that one call reports them all
        // (a level-triggered set may report the same socket again in a
        // second call, so the rest cannot be fetched by calling again).
        CoverEvents(watched_);
        events = static_cast<epoll_event*>(events_);
        n = eventCapacity_ > 0 ? ::epoll_wait(epoll_, events, eventCapacity_, 0) : -1;
        // A failed look, or a full one that could not hold every socket, tells
        // nothing about the rest: they all may read in this pass.
        lookIncomplete_ = n < 0 || (n == eventCapacity_ && eventCapacity_ < watched_);
        n = n < 0 ? 0 : n;
    }
    bool listed = CoverReady(n + alwaysCount_);
    lookIncomplete_ = lookIncomplete_ || !listed;
    for (int i = 0; i < n; ++i) {
        int fd = events[i].data.fd;
        if (fd >= 0 && fd < seenCount_ && seen_[fd] != kAlways && seen_[fd] != 0) {
            seen_[fd] = look_;
            if (listed) {
                ready_[readyCount_++] = static_cast<SocketHandle>(fd);
            }
        }
    }
    for (int i = 0; listed && i < alwaysCount_; ++i) {
        ready_[readyCount_++] = static_cast<SocketHandle>(always_[i]);
    }
}

CPlatform::ReadyList CReadiness::Ready() const {
    bool complete = !epollFailed_ && !lookIncomplete_ && !alwaysLost_;
    return {ready_, readyCount_, complete};
}

void CReadiness::WatchListener(int fd) {
    listeners_.push_back(fd);
    AddToWake(fd);
}

void CReadiness::AddToWake(int fd) {
    if (wake_ < 0) {
        return;  // added when the set is made
    }
    epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    ::epoll_ctl(wake_, EPOLL_CTL_ADD, fd, &ev);
}

bool CReadiness::Wait(int timeoutMs) {
    if (wake_ < 0 && !wakeFailed_) {
        wake_ = ::epoll_create1(EPOLL_CLOEXEC);
        wakeFailed_ = wake_ < 0;
        for (int fd : listeners_) {
            AddToWake(fd);
        }
    }
    // Sockets outside the set are listed at every look: nothing to wait for.
    if (wake_ < 0 || epollFailed_ || alwaysCount_ > 0 || alwaysLost_) {
        return false;
    }
    if (epoll_ >= 0 && !socketsInWake_) {
        epoll_event ev = {};
        ev.events = EPOLLIN;  // readable while the sockets' set has events
        ev.data.fd = epoll_;
        if (::epoll_ctl(wake_, EPOLL_CTL_ADD, epoll_, &ev) != 0) {
            return false;
        }
        socketsInWake_ = true;
    }
    epoll_event ev;
    // A stop signal cuts the wait short, as it does a sleep.
    ::epoll_wait(wake_, &ev, 1, timeoutMs);
    return true;
}

#else  // no epoll: every socket may read, and no look can list them

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
CPlatform::ReadyList CReadiness::Ready() const {
    return {nullptr, 0, false};
}
void CReadiness::WatchListener(int) {}
void CReadiness::AddToWake(int) {}
bool CReadiness::Wait(int) {
    return false;
}

#endif

bool CReadiness::MayRead(int fd) const {
    if (epoll_ < 0 || lookIncomplete_ || fd < 0 || fd >= seenCount_) {
        return true;
    }
    // 0: a socket this set never watched, so nothing is known about it.
    return seen_[fd] == look_ || seen_[fd] == kAlways || seen_[fd] == 0;
}
