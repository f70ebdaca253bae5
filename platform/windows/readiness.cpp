#include "platform/windows/readiness.h"

#include <cstring>
#include <new>

// One accepted socket. While its zero-byte receive is pending the system
// owns `overlapped`, so a watcher closed in that time is only marked
// forgotten, and freed when the completion (cancelled by the close) arrives.
struct CReadiness::Watcher {
    OVERLAPPED overlapped;
    SOCKET socket;
    std::uint32_t seen;  // the look that reported it
    enum State { kIdle, kPending, kOutside } state;
    std::size_t slot;  // its place in idle_ or outside_
    bool forgotten;
};

namespace {

// Completions taken per call; a look calls again while calls come back full.
constexpr ULONG kEntriesPerCall = 128;

// Room for `count` items, grown by doubling so that watching n sockets
// moves each list only about log n times.
template <typename T>
void Reserve(std::vector<T>& list, std::size_t count) {
    if (list.capacity() < count) {
        list.reserve(count > 2 * list.capacity() ? count : 2 * list.capacity());
    }
}

}  // namespace

CReadiness::~CReadiness() {
    // The platform lives as long as the process; should one end sooner, a
    // watcher with its receive pending is left alone, since the system may
    // still write to it.
    for (const auto& entry : watchers_) {
        if (entry.second->state != Watcher::kPending) {
            delete entry.second;
        }
    }
    if (port_ != nullptr) {
        ::CloseHandle(port_);
    }
}

void CReadiness::Place(std::vector<Watcher*>& list, Watcher* w) {
    w->slot = list.size();
    list.push_back(w);  // within the capacity Watch reserved
}

void CReadiness::Unplace(std::vector<Watcher*>& list, Watcher* w) {
    Watcher* last = list.back();
    list[w->slot] = last;
    last->slot = w->slot;
    list.pop_back();
}

void CReadiness::Watch(SOCKET s) {
    Forget(s);  // a handle the system reused starts afresh
    if (port_ == nullptr && !portFailed_) {
        port_ = ::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
        portFailed_ = port_ == nullptr;
    }
    if (port_ == nullptr) {
        return;  // not watched: MayRead answers yes, and no list is complete
    }
    Watcher* w = new (std::nothrow) Watcher();
    if (w == nullptr) {
        lost_ = true;
        return;
    }
    w->socket = s;
    w->seen = look_;  // may read until the next look
    try {
        // Room for every socket in each list, so that a look never allocates.
        std::size_t count = watchers_.size() + 1;
        Reserve(idle_, count);
        Reserve(arming_, count);
        Reserve(outside_, count);
        Reserve(ready_, count);
        watchers_.emplace(s, w);
    } catch (const std::bad_alloc&) {
        delete w;
        lost_ = true;
        return;
    }
    if (::CreateIoCompletionPort(reinterpret_cast<HANDLE>(s), port_, 0, 0) == port_) {
        w->state = Watcher::kIdle;  // its first receive is posted by the next look
        Place(idle_, w);
    } else {
        w->state = Watcher::kOutside;
        Place(outside_, w);
    }
}

void CReadiness::Forget(SOCKET s) {
    auto found = watchers_.find(s);
    if (found == watchers_.end()) {
        return;
    }
    Watcher* w = found->second;
    watchers_.erase(found);
    switch (w->state) {
        case Watcher::kIdle:
            Unplace(idle_, w);
            delete w;
            break;
        case Watcher::kOutside:
            Unplace(outside_, w);
            delete w;
            break;
        case Watcher::kPending:
            w->forgotten = true;  // the close that follows cancels its receive
            break;
    }
}

bool CReadiness::Arm(Watcher* w) {
    std::memset(&w->overlapped, 0, sizeof w->overlapped);
    WSABUF none = {0, nullptr};
    DWORD flags = 0;
    if (::WSARecv(w->socket, &none, 1, nullptr, &flags, &w->overlapped, nullptr) != 0 &&
        ::WSAGetLastError() != WSA_IO_PENDING) {
        return false;
    }
    // Completed at once or not: either way the completion comes through the port.
    w->state = Watcher::kPending;
    ++pending_;
    return true;
}

bool CReadiness::ArmIdle(bool report) {
    bool armed = true;
    arming_.swap(idle_);
    for (Watcher* w : arming_) {
        if (!Arm(w)) {
            w->state = Watcher::kIdle;
            Place(idle_, w);
            if (report) {
                Report(w);
            }
            armed = false;
        }
    }
    arming_.clear();
    return armed;
}

bool CReadiness::Wait(int timeoutMs) {
    if (port_ == nullptr || lost_ || !outside_.empty()) {
        return false;  // sockets off the port are listed at every look
    }
    // A refused receive is an error the look reports at once.
    if (!ArmIdle(false)) {
        return true;
    }
    OVERLAPPED_ENTRY entry;
    ULONG taken = 0;
    if (!::GetQueuedCompletionStatusEx(port_, &entry, 1, &taken, static_cast<DWORD>(timeoutMs),
                                       FALSE) ||
        taken == 0 || entry.lpOverlapped == nullptr) {
        return true;
    }
    // Put back for the look; should that fail, the socket waits idle to be
    // armed again at the look, which completes at once if bytes are there.
    if (!::PostQueuedCompletionStatus(port_, entry.dwNumberOfBytesTransferred,
                                      entry.lpCompletionKey, entry.lpOverlapped)) {
        Watcher* w = CONTAINING_RECORD(entry.lpOverlapped, Watcher, overlapped);
        --pending_;
        if (w->forgotten) {
            delete w;
        } else {
            w->state = Watcher::kIdle;
            Place(idle_, w);
        }
    }
    return true;
}

void CReadiness::Report(Watcher* w) {
    w->seen = look_;
    ready_.push_back(w->socket);  // within the capacity Watch reserved
}

void CReadiness::Refresh() {
    ready_.clear();
    lookFailed_ = false;
    if (port_ == nullptr) {
        return;
    }
    look_ = look_ + 1 == 0 ? 1 : look_ + 1;

    // A new receive for each socket the last look reported (and each new
    // one); bytes still unread complete it at once. A receive refused at
    // once means an error to report now, and another try at the next look.
    ArmIdle(true);

    OVERLAPPED_ENTRY entries[kEntriesPerCall];
    ULONG taken = kEntriesPerCall;
    while (taken == kEntriesPerCall && pending_ > 0) {
        taken = 0;
        if (!::GetQueuedCompletionStatusEx(port_, entries, kEntriesPerCall, &taken, 0, FALSE)) {
            // WAIT_TIMEOUT: nothing has completed. Anything else leaves the
            // look unknown: every socket may read in this pass.
            lookFailed_ = ::GetLastError() != WAIT_TIMEOUT;
            break;
        }
        for (ULONG i = 0; i < taken; ++i) {
            if (entries[i].lpOverlapped == nullptr) {
                continue;
            }
            Watcher* w = CONTAINING_RECORD(entries[i].lpOverlapped, Watcher, overlapped);
            --pending_;
            if (w->forgotten) {
                delete w;  // the receive of a socket closed since
                continue;
            }
            w->state = Watcher::kIdle;
            Place(idle_, w);
            Report(w);
        }
    }

    for (Watcher* w : outside_) {
        ready_.push_back(w->socket);
    }
}

bool CReadiness::MayRead(SOCKET s) const {
    if (lookFailed_) {
        return true;
    }
    auto found = watchers_.find(s);
    return found == watchers_.end() || found->second->state == Watcher::kOutside ||
           found->second->seen == look_;
}

CPlatform::ReadyList CReadiness::Ready() const {
    bool complete = !portFailed_ && !lookFailed_ && !lost_;
    return {ready_.data(), static_cast<int>(ready_.size()), complete};
}
