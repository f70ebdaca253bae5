#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "policy/deadlines.h"
#include "policy/handshake_budget.h"
#include "policy/intake.h"
#include "policy/memory_budget.h"
#include "policy/work_list.h"
#include "server/admission.h"
#include "server/client.h"
#include "server/listeners/connection_maker.h"
#include "server/message_sink.h"
#include "server/pass_hook.h"
#include "server/relay.h"

// Connections refused per listener and pass beyond those taken: a refusal
// costs no client, so a flood of them is cleared faster than one accept a
// pass would, and still within a bound.
constexpr int kMaxRefusalsPerPass = 64;

// Connections that may wait for their accept: a burst of this many is
// served, one accept a pass. Each system caps it at its own maximum.
constexpr int kListenBacklog = 65535;

// The listeners, the clients (newest first) with the room they are in, and
// the policies their turns share. One instance, g_server, usable
// before any code runs; its destructor closes everything. It owns its
// clients: it makes them at accept and deletes them when their turn says
// their connection ended. A pass gives a turn only to the clients with
// something to do: a socket the readiness look reported, output queued or
// a drop pending (the work list), or a deadline that falls in the pass.
// A pass is a list of phases: the clock, the accepts, the readiness look,
// the hooks before the clients, the turns, the hooks after them, and with
// --low-latency the sends of what came after a client's turn.
class CServer {
  public:
    constexpr CServer()
        : listenSocket(INVALID_SOCKET),
          port(0),
          clients(nullptr),
          nextRoundStart(nullptr),
          sink(&relay),
          clientCount_(0),
          nextSeq_(0) {}
    ~CServer();
    CServer(const CServer&) = delete;
    CServer& operator=(const CServer&) = delete;

    // Drops every client and the previous listeners, then listens for plain
    // TCP on `port` (the first listener) at the address g_settings names,
    // every local IPv4 address by default. False, with nothing left open,
    // on failure.
    bool Open(int port);
    // Listens on `port` at `address` (IPv4, host order; 0 is every local
    // address) after the listeners there are, for connections of `maker`'s
    // kind. Needs Open first; false, with nothing left open, on failure.
    bool AddListener(std::uint32_t address, std::uint16_t port,
                     std::unique_ptr<CConnectionMaker> maker);
    // Destroys every client, closes the listeners and forgets the hooks.
    void Shutdown();
    // The drain before a stop: closes every client listener now, and each
    // client once what is queued for it has gone, their closing times
    // spread evenly over `spanMs` of the pass clock, the oldest first.
    // Returns how many clients it is closing. Ends with the next Open.
    int BeginDrain(long long spanMs);
    bool Draining() const { return drainEndsAt_ >= 0; }
    // Draining, and every client is gone or the time is up.
    bool Drained() const;
    // Puts the g_settings and token gate that a reload just set in force,
    // between two passes: the memory bound, the WebSocket origins, the
    // clients that the address rules or the tokens no longer let in
    // dropped; the bounds on clients count those connected from now on.
    void ApplySettings();
    // Runs `hook` in every pass from now on, after those added before it;
    // not owned. Needs Open first.
    void AddHook(CPassHook* hook);
    // Each client's message rate and burst (see CClient::SetMessageRate),
    // for the clients connected now and those to come; 0: no limit.
    void SetMessageRate(double rate, double burst);
    // One pass: accept up to --accepts-per-pass connections per listener, then give a turn to every
    // client with something to do, in list order from a client one further
    // along than the last pass's first.
    void Update(int elapsedMs);
    // How long the loop may wait for the sockets before the next pass, at
    // most `mostMs`: 0 while some client has work, else until the next
    // deadline.
    int WaitMs(int mostMs) const;

    // The first listener's socket: the plain TCP port.
    SocketHandle listenSocket;
    std::uint16_t port;
    CClient* clients;
    // The client the next pass's round starts with; null: the head.
    CClient* nextRoundStart;
    CIntake intake;
    CMemoryBudget memory;
    CDeadlines clock;
    CWorkList busy;
    CHandshakeBudget handshakes;
    CRelay relay;
    // Where the clients' ordinary messages go: the relay, unless a room
    // joined at start takes them.
    CMessageSink* sink;

  private:
    // What cannot be set up before any code runs, made by the first Open.
    struct Listener {
        SocketHandle socket;
        std::unique_ptr<CConnectionMaker> maker;
    };
    // Who comes in, through where, and on what terms.
    struct Gate {
        // The main port first, then the others in the order they were added.
        std::vector<Listener> listeners;
        // Who is let in at accept, and the counts per peer address.
        CAdmission admission;
        // The token each client let in by one showed, for a revocation.
        std::unordered_map<CClient*, std::string> tokens;
        // The clients of the kinds that may later refuse them (TLS with
        // client CAs), each with its listener's kind, to judge them again.
        std::unordered_map<CClient*, CConnectionMaker*> judged;
        // What OpenSSL holds for no one client: counted, never dropped.
        CMemoryBudget::Entry sharedTlsHeap{nullptr};
    };
    // What a pass finds its work by: the clients by socket, this pass's due
    // clients, the hooks.
    struct PassLists {
        std::unordered_map<SocketHandle, CClient*> bySocket;
        std::vector<CClient*> due;
        std::vector<CPassHook*> hooks;
        // With --low-latency: who got output after its turn in this pass.
        std::vector<CClient*> late;
    };
    // The phases of a pass, in their order.
    void StartPass(int elapsedMs);
    void AcceptWaiting();
    void RunHooks(void (CPassHook::*phase)(const CDeadlines&));
    void TakeTurns();
    // The last phase with --low-latency: sends what came after their turn
    // to those that have not sent in this pass.
    void SendLateOutput();
    // Lists this pass's due clients and starts the intake; true when every
    // client is due (a readiness look that could not tell).
    bool FindDue();
    // Notes `client` as due in this pass.
    void MarkDue(CClient* client);
    // Gives turns from `from` on, in list order, to every due client up to
    // the end of this pass's round; `lastRank` is where the round stands.
    void TurnsInOrder(CClient* from, unsigned long long lastRank, bool everyone);
    // A client's place in this pass's round.
    unsigned long long Rank(const CClient* client) const;
    // One client's turn in this pass; false when it has ended (and is gone).
    bool GiveTurn(CClient* client, bool everyone);

    enum class Accepted { kNothing, kTaken, kRefused };
    Accepted AcceptOne(SocketHandle listener, CConnectionMaker& maker);
    // Takes what waits on one listener: up to --accepts-per-pass clients,
    // and a bounded number of refusals besides.
    void AcceptSome(SocketHandle listener, CConnectionMaker& maker);
    // A client whose connection is now established: into the room, or, with
    // a token file, to wait for its "@AUTH" first.
    void Welcome(CClient* client);
    // Lets a client whose connection is established into the room: it
    // gets the history and, from now on, what is relayed.
    void Admit(CClient* client);
    // The token check: the first message of a client that owes a token. A
    // good "@AUTH" lets it in, anything else ends it. Takes ownership of the
    // message.
    void CheckToken(CClient* client, char* message);
    // A client's turn: its tick, then what its whole messages do. False
    // when its connection has ended.
    bool Turn(CClient* client, int elapsedMs, bool mayRead);
    // Drops the clients whose token is no longer in force, and gives the
    // others the rights their token has now (after the token file was read
    // again: a rare walk, never one per pass).
    void DropRevoked();
    // Drops the established clients of `maker` that it no longer accepts
    // (after its client CAs changed: a rare walk, over its clients only).
    void DropUnaccepted(const CConnectionMaker& maker);
    // Whether the kind `client` came in on still accepts it; one that does
    // not is dropped.
    bool StillAccepted(CClient* client);
    // Unlinks a client whose connection ended and deletes it.
    void Remove(CClient* client);
    // Closes every listener's socket; the listeners stay, with their kinds,
    // for the clients they made.
    void CloseListeners();

    std::unique_ptr<Gate> gate_;
    std::unique_ptr<PassLists> lists_;
    int clientCount_;
    unsigned long long nextSeq_;
    int elapsedMs_ = 0;
    // Where on the pass clock a drain under way ends; -1: none.
    long long drainEndsAt_ = -1;
    double msgRate_ = 0;
    double msgBurst_ = 0;
};

extern CServer g_server;
