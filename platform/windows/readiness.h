#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>

#include <cstddef>
#include <unordered_map>
#include <vector>

// Which accepted sockets have something to report (bytes, a close or an
// error), looked up once per pass with one WSAPoll that does not wait. A
// socket accepted since the last look, one the set could not take, or every
// socket after a failed look may read: that only costs the receive that
// finds nothing.
class CReadiness {
  public:
    // Starts watching a freshly accepted socket; it may read until the next look.
    void Watch(SOCKET s);
    // Stops watching; call before the socket is closed and its handle reused.
    void Forget(SOCKET s);
    // Takes the look for this pass.
    void Refresh();
    bool MayRead(SOCKET s) const;

  private:
    std::vector<WSAPOLLFD> polled_;  // revents: what the last look saw
    std::unordered_map<SOCKET, std::size_t> index_;
    bool lookFailed_ = false;
};
