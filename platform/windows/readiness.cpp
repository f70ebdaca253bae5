#include "platform/windows/readiness.h"

#include <new>

void CReadiness::Watch(SOCKET s) {
    Forget(s);  // a handle the system reused starts afresh
    try {
        polled_.push_back(WSAPOLLFD{s, POLLRDNORM, 0});
        try {
            fresh_.push_back(1);
            index_[s] = polled_.size() - 1;
        } catch (const std::bad_alloc&) {
            fresh_.resize(polled_.size() - 1);
            polled_.pop_back();
        }
    } catch (const std::bad_alloc&) {
        // Not watched: MayRead answers yes for it.
    }
}

void CReadiness::Forget(SOCKET s) {
    auto found = index_.find(s);
    if (found == index_.end()) {
        return;
    }
    std::size_t i = found->second;
    index_.erase(found);
    std::size_t last = polled_.size() - 1;
    if (i != last) {
        polled_[i] = polled_[last];
        fresh_[i] = fresh_[last];
        index_[polled_[i].fd] = i;  // the key exists, so nothing is allocated
    }
    polled_.pop_back();
    fresh_.pop_back();
}

void CReadiness::Refresh() {
    if (polled_.empty()) {
        return;
    }
    int n = ::WSAPoll(polled_.data(), static_cast<ULONG>(polled_.size()), 0);
    lookFailed_ = n == SOCKET_ERROR;
    if (!lookFailed_) {
        fresh_.assign(fresh_.size(), 0);
    }
}

bool CReadiness::MayRead(SOCKET s) const {
    auto found = index_.find(s);
    if (lookFailed_ || found == index_.end()) {
        return true;
    }
    std::size_t i = found->second;
    return fresh_[i] != 0 || polled_[i].revents != 0;
}
