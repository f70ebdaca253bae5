#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
    // A listener for WebSocket clients beside the TCP one; 0 means none.
    int wsPort = 0;
    // The pages allowed to open a WebSocket; empty allows any.
    std::vector<std::string> wsOrigins;
};

extern CSettings g_settings;
