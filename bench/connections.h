#pragma once

#include <sys/epoll.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "server_process.h"

// Many client connections to the server under test, driven by one epoll set.
// Each connection queues outgoing bytes and cuts incoming bytes into frames,
// handed to onFrame. The server's console pipe shares the epoll set so that
// it is always drained.
class Connections {
  public:
    struct Conn {
        int fd = -1;
        bool connected = false;
        bool closed = false;
        bool reading = true;  // false: leave bytes in the kernel (a stalled reader)
        std::uint32_t interest = 0;
        std::string out;
        size_t outOffset = 0;
        std::string in;
        std::int64_t lastSendNs = 0;
        std::uint64_t bytesIn = 0;
    };

    using FrameHandler =
        std::function<void(int conn, const unsigned char* payload, std::uint32_t length)>;

    explicit Connections(ServerProcess& server);
    ~Connections();
    Connections(const Connections&) = delete;
    Connections& operator=(const Connections&) = delete;

    // Opens connections until there are `count`, keeping at most `window`
    // not yet accepted: beyond the listen backlog (5 for tovrel, 10 for
    // ncat) the kernel drops handshakes and the client retries seconds later. Sends keep-alives
    // meanwhile when asked. False on a refused or closed connection, or after `timeoutSec`.
    bool GrowTo(int count, int window, double timeoutSec, bool keepAlive);
    // How many connections the server has taken, counted from its console.
    long Accepted() const;

    // Waits for events for up to `timeoutMs` and handles them.
    void Poll(int timeoutMs);
    // Appends bytes to a connection's queue and starts sending them.
    void Send(int conn, const std::string& bytes);
    // An empty frame from every client that has been quiet for `quietMs`:
    // resets tovrel's idle countdown and is relayed to nobody.
    void KeepAlive(std::int64_t quietMs);
    void SetReading(int conn, bool reading);

    int size() const { return static_cast<int>(conns_.size()); }
    Conn& at(int conn) { return conns_[static_cast<size_t>(conn)]; }
    int closedCount() const { return closed_; }
    int corruptCount() const { return corrupt_; }

    FrameHandler onFrame;

  private:
    void UpdateInterest(int conn);
    void HandleEvent(int conn, std::uint32_t events);
    void Flush(int conn);
    void ReadFrom(int conn);
    void Close(int conn);

    ServerProcess& server_;
    int epoll_;
    std::vector<Conn> conns_;
    std::vector<epoll_event> events_;
    std::vector<unsigned char> readBuffer_;
    int closed_ = 0;
    int corrupt_ = 0;
};
