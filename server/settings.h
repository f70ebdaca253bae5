#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// An IPv4 network as CIDR gives it (host order): `address` with the low bits
// outside `mask` cleared.
struct CAddressRange {
    std::uint32_t address = 0;
    std::uint32_t mask = 0;
    bool Contains(std::uint32_t a) const { return (a & mask) == address; }
};

// What the command line may change beyond the port. Each field's default is
// the behaviour of a plain `tovrel <port>`.
struct CSettings {
    // Bound on all clients' queued output and partly received input together.
    long long maxMemoryBytes = 512LL * 1024 * 1024;
    // Local IPv4 address to listen on, in host order; 0 means every local
    // address.
    unsigned long bindIPv4 = 0;
    // Redis server joining this instance to a room; empty host means alone.
    std::string redisHost;
    int redisPort = 6379;
    // Sentinels (host, port) that name the room's Redis primary under
    // redisMaster, instead of redisHost; empty means none.
    std::vector<std::pair<std::string, int>> redisSentinels;
    std::string redisMaster;
    // The room's name; empty means the one that follows from the port.
    std::string room;
    // Clients must send "@AUTH <token>" with a token from this file first;
    // empty: anyone who connects is in the room.
    std::string tokenFile;
    // Who may connect: an address in a denied range never; with allowed
    // ranges given, only an address in one of them.
    std::vector<CAddressRange> allow;
    std::vector<CAddressRange> deny;
    // Bounds on clients in all and per peer address; 0: none.
    int maxClients = 0;
    int maxPerAddress = 0;
    // Connections taken from each listener per pass.
    int acceptsPerPass = 1;
    // A TLS listener beside the plain one: its port (0: none), the PEM
    // certificate chain and key it presents, and the CA that client
    // certificates must be signed by (empty: none asked for).
    int tlsPort = 0;
    std::string tlsCert;
    std::string tlsKey;
    std::string tlsCa;
    // The metrics endpoint: its port (0: none) and local IPv4 address, as
    // given and in host order.
    int metricsPort = 0;
    std::string metricsAddress = "127.0.0.1";
    unsigned long metricsIPv4 = 0x7F000001;
    // A listener for WebSocket clients beside the TCP one; 0 means none.
    int wsPort = 0;
    // The pages allowed to open a WebSocket; empty allows any.
    std::vector<std::string> wsOrigins;
    // WebSocket clients over TLS, with the TLS certificate and key; 0: none.
    int wssPort = 0;
    // SIGTERM drains: the listeners close and the clients are closed one by
    // one over this many seconds. 0: it stops at once, as any stop does.
    int drainSeconds = 0;
    // How many of the last relayed messages are kept for clients that
    // resume ("@RESUME"); 0: none, and "@RESUME" is an ordinary message.
    std::size_t resumeWindow = 0;
    // Messages a second each client may send on average (0: no limit), and
    // how many at once (0: 2 × msgRate, at least 1).
    double msgRate = 0;
    double msgBurst = 0;
    // Passes start when there is something to do, at most 20 ms and at
    // least kMinPassGapUs apart, and output that comes after a client's
    // turn goes in the same pass; false: a 20 ms sleep after every pass.
    bool lowLatency = false;
};

extern CSettings g_settings;
