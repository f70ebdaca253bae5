#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "server/intake.h"
#include "server/memory_budget.h"

class CClient;

// Connections that may wait for their accept: a burst of this many is
// served, one accept a pass. Each system caps it at its own maximum.
constexpr int kListenBacklog = 65535;

// The listening socket and the list of clients, newest first. One instance,
// g_server, usable before any code runs; its destructor closes everything.
class CServer {
  public:
    constexpr CServer()
        : listenSocket(INVALID_SOCKET), port(0), clients(nullptr), turn(nullptr), pass(0) {}
    ~CServer();
    CServer(const CServer&) = delete;
    CServer& operator=(const CServer&) = delete;

    // Drops every client and the previous listener, then listens on `port`
    // on every local IPv4 address. False, with nothing left open, on failure.
    bool Open(int port);
    // Destroys every client and closes the listening socket.
    void Shutdown();
    // One pass: accept at most one connection, then tick every client, in
    // list order from a client one further along than the last pass's first.
    void Update(int elapsedMs);

    SocketHandle listenSocket;
    std::uint16_t port;
    CClient* clients;
    // The client the next pass starts with; null: the head.
    CClient* turn;
    unsigned pass;
    CIntake intake;
    CMemoryBudget memory;

  private:
    void AcceptOne();
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
