#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

class CClient;

// The listening socket and the list of clients, newest first. One instance,
// g_server, usable before any code runs; its destructor closes everything.
class CServer {
  public:
    constexpr CServer() : listenSocket(INVALID_SOCKET), port(0), clients(nullptr) {}
    ~CServer();
    CServer(const CServer&) = delete;
    CServer& operator=(const CServer&) = delete;

    // Drops every client and the previous listener, then listens on `port`
    // on every local IPv4 address. False, with nothing left open, on failure.
    bool Open(int port);
    // Destroys every client and closes the listening socket.
    void Shutdown();
    // One pass: accept at most one connection, then tick every client.
    void Update(int elapsedMs);

    SocketHandle listenSocket;
    std::uint16_t port;
    CClient* clients;
};

extern CServer g_server;

// The program's directory with its trailing separator, or empty.
extern char g_exeDir[256];

// Set by the stop handler; the loop ends after the pass that sees it.
extern std::atomic<unsigned char> g_quit;

// Largest elapsed time handed to the clients in one pass.
constexpr int kMaxElapsedMs = 250;
constexpr int kPassSleepMs = 20;

// Runs passes until g_quit is set.
void RunServerLoop();
