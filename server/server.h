#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "policy/intake.h"
#include "policy/memory_budget.h"
#include "server/client.h"
#include "server/relay.h"

// Connections that may wait for their accept: a burst of this many is
// served, one accept a pass. Each system caps it at its own maximum.
constexpr int kListenBacklog = 65535;

// The listening socket, the clients (newest first) with the room they are
// in, and the policies their turns share. One instance, g_server, usable
// before any code runs; its destructor closes everything. It owns its
// clients: it makes them at accept and deletes them when their tick says
// their connection ended.
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
    CRelay relay;

  private:
    void AcceptOne();
    // A client's turn: its tick, then what its whole messages do. False
    // when its connection has ended.
    bool Turn(CClient* client, int elapsedMs);
    // Unlinks a client whose connection ended and deletes it.
    void Remove(CClient* client);
};

extern CServer g_server;

// Set by the stop handler; the loop ends after the pass that sees it.
extern std::atomic<unsigned char> g_quit;

// Largest elapsed time handed to the clients in one pass.
constexpr int kMaxElapsedMs = 250;
constexpr int kPassSleepMs = 20;

// Runs passes until g_quit is set.
void RunServerLoop();
