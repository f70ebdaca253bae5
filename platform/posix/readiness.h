#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"

// Which accepted sockets have something to report (bytes, a close or an
// error), looked up once per pass. On Linux the sockets sit in one epoll set
// and a look is one epoll_wait that does not block; elsewhere, or when the
// kernel or the heap refuse, every socket counts as possibly readable, which
// only costs the receive that finds nothing. Descriptors index a table of
// the look that last saw them, so a query is one comparison; the look also
// keeps the list of the sockets it saw, so a caller can visit only those.
// A wait for the next look blocks on a second set, made at the first wait,
// that holds the first one and the listeners.
class CReadiness {
  public:
    CReadiness() = default;
    ~CReadiness();
    CReadiness(const CReadiness&) = delete;
    CReadiness& operator=(const CReadiness&) = delete;

    // Starts watching a freshly accepted socket; it may read until the next look.
    void Watch(int fd);
    // Stops watching; call before the descriptor is closed and reused.
    void Forget(int fd);
    // Takes the look for this pass.
    void Refresh();
    bool MayRead(int fd) const;
    // The sockets the last look saw, and those the set could not take.
    CPlatform::ReadyList Ready() const;
    // Notes a listening socket: a connection waiting on it ends a Wait.
    void WatchListener(int fd);
    // Waits up to `timeoutMs` for a watched socket or a listener to have
    // something, taking nothing. False, without waiting, when it cannot tell.
    bool Wait(int timeoutMs);

  private:
    bool CoverDescriptor(int fd);
    bool CoverEvents(int count);
    bool CoverReady(int count);
    void AddAlways(int fd);
    void RemoveAlways(int fd);
    void AddToWake(int fd);

    int epoll_ = -1;
    bool epollFailed_ = false;
    bool lookIncomplete_ = false;
    std::uint32_t look_ = 1;
    std::uint32_t* seen_ = nullptr;  // per descriptor: the look that reported it
    int seenCount_ = 0;
    void* events_ = nullptr;
    int eventCapacity_ = 0;
    int watched_ = 0;
    // Sockets outside the set, listed at every look. Few: only those the
    // kernel or the heap refused.
    int* always_ = nullptr;
    int alwaysCount_ = 0;
    int alwaysCapacity_ = 0;
    bool alwaysLost_ = false;        // one could not be noted: no list is complete
    SocketHandle* ready_ = nullptr;  // the last look's list
    int readyCount_ = 0;
    int readyCapacity_ = 0;
    // The set Wait blocks on, the listeners it holds, and whether it holds
    // the sockets' set yet.
    int wake_ = -1;
    bool wakeFailed_ = false;
    bool socketsInWake_ = false;
    std::vector<int> listeners_;
};
