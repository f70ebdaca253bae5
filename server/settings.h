#pragma once

#include <cstdint>
#include <string>

// What the command line may change beyond the port. Each field's default is
// the behaviour of a plain `tovrel <port>`.
struct CSettings {
    // Bound on all clients' queued output and partly received input together.
    long long maxMemoryBytes = 512LL * 1024 * 1024;
    // Local IPv4 address to listen on, as given and in host order; empty
    // (and 0) means every local address.
    std::string bindAddress;
    unsigned long bindIPv4 = 0;
    // Redis server joining this instance to a room; empty host means alone.
    std::string redisHost;
    int redisPort = 6379;
    // The room's name; empty means the one that follows from the port.
    std::string room;
    // A TLS listener beside the plain one: its port (0: none), the PEM
    // certificate chain and key it presents, and the CA that client
    // certificates must be signed by (empty: none asked for).
    int tlsPort = 0;
    std::string tlsCert;
    std::string tlsKey;
    std::string tlsCa;
};

extern CSettings g_settings;
