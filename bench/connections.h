#pragma once

#include <sys/epoll.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server_group.h"
#include "wire.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

// Many bench clients of the relay under test, driven by one epoll set. A
// client has one connection per role of the relay's wire (two for Redis);
// each connection queues outgoing bytes and cuts incoming ones into messages
// in place, keeping only a partial message. Received messages go to
// onMessage with the client's index. The servers' console pipes share the
// epoll set so that they are always drained.
class Connections {
  public:
    struct Conn {
        int fd = -1;
        int client = 0;
        Wire::Role role = Wire::Role::kBoth;
        bool connected = false;
        bool closed = false;
        bool ready = false;   // the server confirmed the subscription
        bool reading = true;  // false: leave bytes in the kernel (a stalled reader)
        std::uint32_t interest = 0;
        std::string out;
        size_t outOffset = 0;
        std::string in;  // the start of a message whose rest has not arrived
        // Over WebSocket frames (Wire::Unframes): bytes of a frame not yet
        // whole, and whether the HTTP answer has come.
        std::string frames;
        bool answered = false;
        std::int64_t lastSendNs = 0;
        std::uint64_t bytesIn = 0;
        // Under TLS (BenchTls): the connection's TLS, null until it starts
        // (NATS starts it after its plaintext INFO line); done once the
        // handshake is; and whether OpenSSL waits to write.
        SSL* ssl = nullptr;
        bool tlsUp = false;
        bool tlsWantsWrite = false;
    };

    using MessageHandler =
        std::function<void(int client, const unsigned char* payload, std::uint32_t length)>;

    explicit Connections(ServerGroup& servers);
    ~Connections();
    Connections(const Connections&) = delete;
    Connections& operator=(const Connections&) = delete;

    // Opens clients until there are `count` ready, keeping at most `window`
    // not yet ready: beyond the listen backlog (5 for tovrel, 10 for ncat)
    // the kernel drops handshakes and the client retries seconds later.
    // Sends keep-alives meanwhile when asked. False on a refused or closed
    // connection, or after `timeoutSec`.
    bool GrowTo(int count, int window, double timeoutSec, bool keepAlive);
    // Only clients below `count` get a connection of their own to publish
    // on, where the wire needs one (Redis): a run's senders are its first
    // clients, and 10000 clients with two connections each would not fit
    // in the descriptors. Set before GrowTo; the others only receive.
    void LimitPublishers(int count) { publishers_ = count; }
    // Clients whose relay has taken them: counted from its console for
    // framed relays, from subscription replies for the others.
    long Ready() const;

    // Waits for events for up to `timeoutMs` and handles them.
    void Poll(int timeoutMs);
    // Publishes a message from a client, in the relay's protocol.
    void Publish(int client, const std::string& payload);
    // Appends raw bytes to the queue of a client's sending connection.
    void Send(int client, const std::string& bytes);
    // An empty frame from every client that has been quiet for `quietMs`:
    // resets tovrel's idle countdown and is relayed to nobody.
    void KeepAlive(std::int64_t quietMs);
    void SetReading(int client, bool reading);

    int size() const { return static_cast<int>(clients_.size()); }
    // A client's receiving connection.
    Conn& at(int client) {
        return conns_[static_cast<size_t>(clients_[static_cast<size_t>(client)].receive)];
    }
    int closedCount() const { return closed_; }
    int corruptCount() const { return corrupt_; }

    MessageHandler onMessage;

  private:
    struct Client {
        int receive;
        int send;
    };

    int Open(int client, Wire::Role role);
    void SendOn(int conn, const char* bytes, size_t length);
    void UpdateInterest(int conn);
    void HandleEvent(int conn, std::uint32_t events);
    void Flush(int conn);
    void ReadFrom(int conn);
    // Hands `got` bytes at the start of the read buffer to the connection.
    void Received(int conn, size_t got);
    // Handles the complete messages at the front of `bytes`; returns the
    // bytes they took, or `length` once the connection is lost.
    size_t CutMessages(int conn, const unsigned char* bytes, size_t length);
    // Takes the WebSocket frames off received bytes and cuts what they carry.
    void Unframe(int conn, const unsigned char* bytes, size_t length);
    void Close(int conn);
    // TLS: begins the handshake on a connected socket; drives it; reads the
    // plaintext INFO line that NATS sends before it.
    void StartTls(int conn);
    bool DriveHandshake(int conn);
    bool ReadNatsInfo(int conn);
    void ReadTls(int conn);
    void FlushTls(int conn);

    ServerGroup& servers_;
    SSL_CTX* tls_ = nullptr;
    std::unique_ptr<Wire> wire_;
    int epoll_;
    std::vector<Conn> conns_;
    std::vector<Client> clients_;
    std::vector<epoll_event> events_;
    std::vector<unsigned char> readBuffer_;
    std::string publishBuffer_;
    int publishers_ = -1;  // no limit
    long ready_ = 0;
    int closed_ = 0;
    int corrupt_ = 0;
};
