#pragma once

#include <cstdint>
#include <string>
#include <utility>
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
    // Sentinels (host, port) that name the room's Redis primary under
    // redisMaster, instead of redisHost; empty means none.
    std::vector<std::pair<std::string, int>> redisSentinels;
    std::string redisMaster;
    // The room's name; empty means the one that follows from the port.
    std::string room;
};

extern CSettings g_settings;
