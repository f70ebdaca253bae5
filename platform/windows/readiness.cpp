#include "platform/windows/readiness.h"

#include <new>

void CReadiness::Watch(SOCKET s) {
    Forget(s);  // a handle the system reused starts afresh
    try {
        // Reported as readable until the next look overwrites revents.
        polled_.push_back(WSAPOLLFD{s, POLLRDNORM, POLLRDNORM});
        try {
            index_[s] = polled_.size() - 1;
        } catch (const std::bad_alloc&) {
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
    if (i != polled_.size() - 1) {
        polled_[i] = polled_.back();
        index_[polled_[i].fd] = i;  // the key exists, so nothing is allocated
    }
    polled_.pop_back();
}

void CReadiness::Refresh() {
    if (polled_.empty()) {
        return;
    }
    int n = ::WSAPoll(polled_.data(), static_cast<ULONG>(polled_.size()), 0);
    lookFailed_ = n == SOCKET_ERROR;
}

bool CReadiness::MayRead(SOCKET s) const {
    auto found = index_.find(s);
    return lookFailed_ || found == index_.end() || polled_[found->second].revents != 0;
}
