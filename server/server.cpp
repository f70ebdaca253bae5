#include "server/server.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "console/console.h"
#include "server/listeners/kinds.h"
#include "server/messages.h"
#include "server/settings.h"
#include "server/token_gate.h"

CServer g_server;
CSettings g_settings;

// The admission's reasons and the counters' causes are in one order, so
// one is cast to the other.
static_assert(static_cast<int>(CAdmission::kAddress) == static_cast<int>(RefusalCause::kAddress) &&
                  static_cast<int>(CAdmission::kMaxClients) ==
                      static_cast<int>(RefusalCause::kMaxClients) &&
                  static_cast<int>(CAdmission::kPerAddress) ==
                      static_cast<int>(RefusalCause::kPerAddress) &&
                  static_cast<int>(CAdmission::kReasons) == static_cast<int>(RefusalCause::kCount),
              "CAdmission::Refusal and RefusalCause list the same reasons in the same order");

namespace {
// A non-blocking listening socket on `port` at `address` (host order; 0
// is every local address), or INVALID_SOCKET with nothing left open.
SocketHandle Listen(CPlatform& platform, std::uint32_t address, std::uint16_t port) {
    SocketHandle listener = platform.CreateTcpSocket();
    if (listener == INVALID_SOCKET) {
        return INVALID_SOCKET;
    }
    platform.SetReuseAddress(listener);
    int bound = address == 0 ? platform.BindAnyIPv4(listener, port)
                             : platform.BindIPv4(listener, address, port);
    if (platform.SetNonBlocking(listener) != 0 || bound < 0 ||
        platform.Listen(listener, kListenBacklog) < 0) {
        platform.CloseSocket(listener);
        return INVALID_SOCKET;
    }
    return listener;
}
}  // namespace

CServer::~CServer() {
    Shutdown();
}

void CServer::Shutdown() {
    while (clients != nullptr) {
        g_metrics.Ended(EndCause::kShutdown);
        Remove(clients);
    }
    listenSocket = INVALID_SOCKET;
    if (gate_ != nullptr) {
        CloseListeners();
        gate_->listeners.clear();
        lists_->hooks.clear();
    }
}

bool CServer::Open(int requestedPort) {
    Shutdown();
    port = static_cast<std::uint16_t>(requestedPort & 0xFFFF);
    drainEndsAt_ = -1;
    memory.SetLimit(g_settings.maxMemoryBytes);
    SetMessageRate(g_settings.msgRate, g_settings.msgBurst);
    if (gate_ == nullptr) {
        gate_.reset(new Gate);
        lists_.reset(new PassLists);
    }
    gate_->admission = CAdmission();
    // Every local address unless an option named one.
    if (!AddListener(static_cast<std::uint32_t>(g_settings.bindIPv4), port,
                     std::unique_ptr<CConnectionMaker>(new CTcpMaker))) {
        return false;
    }
    listenSocket = gate_->listeners.front().socket;
    return true;
}

bool CServer::AddListener(std::uint32_t address, std::uint16_t listenPort,
                          std::unique_ptr<CConnectionMaker> maker) {
    if (gate_ == nullptr || maker == nullptr) {
        return false;
    }
    SocketHandle listener = Listen(Platform(), address, listenPort);
    if (listener == INVALID_SOCKET) {
        return false;
    }
    gate_->listeners.push_back(Listener{listener, std::move(maker)});
    return true;
}

void CServer::Remove(CClient* client) {
    if (client->next != nullptr) {
        client->next->prev = client->prev;
    }
    if (client->prev != nullptr) {
        client->prev->next = client->next;
    }
    if (clients == client) {
        clients = client->next;
    }
    if (nextRoundStart == client) {
        nextRoundStart = client->next;
    }
    relay.Leave(client);
    if (client->peerCounted) {
        gate_->admission.Remove(client->peer);
    }
    gate_->judged.erase(client);
    auto shown = gate_->tokens.find(client);
    if (shown != gate_->tokens.end()) {
        WipeText(&shown->second);
        gate_->tokens.erase(shown);
    }
    lists_->bySocket.erase(client->Socket());
    if (client->latePass == clock.Pass()) {
        std::vector<CClient*>& late = lists_->late;
        late.erase(std::remove(late.begin(), late.end(), client), late.end());
    }
    --clientCount_;
    g_metrics.Connected(client->kind, -1);
    delete client;
}

bool CServer::Turn(CClient* client, int elapsedMs, bool mayRead) {
    if (!client->Tick(elapsedMs, mayRead)) {
        return false;
    }
    // A handshake finished in this tick: its messages follow the welcome.
    if (!client->Admitted() && !client->AwaitingToken() && client->Established()) {
        Welcome(client);
    }
    char* message = nullptr;
    CClient::Next next;
    while ((next = client->NextMessage(&message)) == CClient::Next::kMessage) {
        if (client->AwaitingToken()) {
            CheckToken(client, message);
        } else {
            HandleMessage(*client, message, *sink, relay, port);
        }
    }
    if (next != CClient::Next::kNone) {
        return false;
    }
    if (client->Resuming()) {
        relay.ContinueReplay(client);
    }
    return true;
}

void CServer::AcceptSome(SocketHandle listener, CConnectionMaker& maker) {
    int taken = 0;
    int refused = 0;
    int most = g_settings.acceptsPerPass > 1 ? g_settings.acceptsPerPass : 1;
    while (taken < most && refused < kMaxRefusalsPerPass) {
        Accepted a = AcceptOne(listener, maker);
        if (a == Accepted::kNothing) {
            return;
        }
        ++(a == Accepted::kTaken ? taken : refused);
    }
}

CServer::Accepted CServer::AcceptOne(SocketHandle listener, CConnectionMaker& maker) {
    CPlatform& platform = Platform();
    std::uint32_t peer = 0;
    SocketHandle accepted = platform.AcceptFrom(listener, &peer);
    if (accepted == INVALID_SOCKET) {
        return Accepted::kNothing;
    }
    CAdmission& admission = gate_->admission;
    CAdmission::Refusal why = admission.Check(g_settings, peer, clientCount_);
    if (why != CAdmission::kNone) {
        // Closed with a reset: nothing of it is kept, not even a closing state.
        platform.AbortSocket(accepted);
        admission.Refused(why, clock.Now());
        g_metrics.Refused(static_cast<RefusalCause>(why));
        return Accepted::kRefused;
    }
    if (platform.SetNonBlocking(accepted) != 0) {
        platform.CloseSocket(accepted);
        return Accepted::kTaken;
    }
    std::unique_ptr<CConnection> connection = maker.Make(accepted, handshakes);
    if (connection == nullptr) {
        return Accepted::kTaken;
    }
    // A client the heap refused has closed its connection already.
    std::vector<CClient*>* late = g_settings.lowLatency ? &lists_->late : nullptr;
    CClient* client =
        new (std::nothrow) CClient(std::move(connection), {intake, memory, clock, busy, late});
    if (client == nullptr) {
        return Accepted::kTaken;
    }
    ConsolePrint("New client connected\n");
    if (msgRate_ > 0) {
        client->SetMessageRate(msgRate_, msgBurst_);
    }
    client->kind = maker.Kind();
    g_metrics.Accepted(client->kind);
    client->seq = ++nextSeq_;
    client->peer = peer;
    client->peerCounted = admission.Add(g_settings, peer);
    lists_->bySocket[accepted] = client;
    if (maker.Judges()) {
        gate_->judged[client] = &maker;
    }
    ++clientCount_;
    client->next = clients;
    if (clients != nullptr) {
        clients->prev = client;
    }
    clients = client;
    if (client->Established()) {
        Welcome(client);
    }
    return Accepted::kTaken;
}

void CServer::Welcome(CClient* client) {
    // A handshake begun before a change of client CAs was checked against
    // the old ones.
    if (!StillAccepted(client)) {
        return;
    }
    if (g_tokens.Active()) {
        client->AwaitToken();
    } else {
        Admit(client);
    }
}

void CServer::Admit(CClient* client) {
    client->Admit();
    relay.Join(client);
}

void CServer::CheckToken(CClient* client, char* message) {
    std::string token;
    CTokenGate::Verdict verdict = g_tokens.Judge(message, &token);
    // The message may hold a token: it is overwritten before the heap has it back.
    WipeBytes(message, std::strlen(message));
    std::free(message);
    switch (verdict) {
        case CTokenGate::Verdict::kAdmit:
            client->listenOnly = g_tokens.RightsOf(token) == CTokenGate::Rights::kListen;
            gate_->tokens[client].swap(token);
            Admit(client);
            break;
        case CTokenGate::Verdict::kWrongToken:
            client->Drop("Wrong token\n");
            break;
        case CTokenGate::Verdict::kNotAuth:
            client->Drop("No @AUTH first\n");
            break;
    }
}

void CServer::DropRevoked() {
    for (auto& shown : gate_->tokens) {
        CTokenGate::Rights rights = g_tokens.RightsOf(shown.second);
        if (rights == CTokenGate::Rights::kNone) {
            shown.first->Drop("Token revoked\n");
        }
        // A token turned from full to listen-only, or back, counts from now.
        shown.first->listenOnly = rights == CTokenGate::Rights::kListen;
    }
}

bool CServer::StillAccepted(CClient* client) {
    auto judged = gate_->judged.find(client);
    if (judged == gate_->judged.end()) {
        return true;
    }
    if (client->Dropping()) {
        return false;  // judged already, or going for another reason
    }
    if (judged->second->StillAccepted(client->Connection())) {
        return true;
    }
    client->Drop("Certificate no longer accepted\n");
    return false;
}

void CServer::DropUnaccepted(const CConnectionMaker& maker) {
    for (auto& judged : gate_->judged) {
        CClient* client = judged.first;
        // One still in its handshake is judged at its welcome.
        if (judged.second == &maker && client->Established()) {
            StillAccepted(client);
        }
    }
}

void CServer::ApplySettings() {
    if (gate_ == nullptr) {
        return;
    }
    // Lower, it is met as any excess is: by making room at the next intake.
    memory.SetLimit(g_settings.maxMemoryBytes);
    for (Listener& l : gate_->listeners) {
        l.maker->SetOrigins(g_settings.wsOrigins);
    }
    // A rare walk, once a reload: the pass never walks the clients.
    CAdmission& admission = gate_->admission;
    for (CClient* c = clients; c != nullptr; c = c->next) {
        if (!CAdmission::AddressAllowed(g_settings, c->peer)) {
            c->Drop("Address no longer allowed\n");
        }
        if (!c->peerCounted) {
            c->peerCounted = admission.Add(g_settings, c->peer);
        }
    }
    if (g_tokens.Active()) {
        DropRevoked();
    }
    if (g_settings.msgRate != msgRate_ || g_settings.msgBurst != msgBurst_) {
        SetMessageRate(g_settings.msgRate, g_settings.msgBurst);
    }
}

void CServer::MarkDue(CClient* client) {
    if (client->duePass != clock.Pass()) {
        client->duePass = clock.Pass();
        lists_->due.push_back(client);
    }
}

unsigned long long CServer::Rank(const CClient* c) const {
    return clock.Rank(c->seq);
}

bool CServer::GiveTurn(CClient* client, bool everyone) {
    bool mayRead = everyone || client->readyPass == clock.Pass();
    bool light = mayRead && !client->Dropping() && !client->HalfReceived();
    clock.SetTurn(Rank(client));
    bool alive = Turn(client, elapsedMs_, mayRead);
    if (alive) {
        client->Schedule();
    } else {
        Remove(client);
    }
    intake.EndTurn(light);
    return alive;
}

void CServer::TurnsInOrder(CClient* from, unsigned long long lastRank, bool everyone) {
    unsigned pass = clock.Pass();
    CClient* client = from;
    if (client == nullptr) {
        client = clients;  // the round goes on from the newest
    }
    while (client != nullptr && (lastRank == ~0ull || Rank(client) > lastRank)) {
        // Only this client may go in its turn, so the next one stays.
        CClient* following = client->next;
        lastRank = Rank(client);
        if (everyone || client->duePass == pass || client->work.listed) {
            GiveTurn(client, everyone);
        }
        client = following != nullptr ? following : clients;
    }
}

void CServer::SetMessageRate(double rate, double burst) {
    msgRate_ = rate;
    msgBurst_ = burst;
    // A rare walk, at a reload: each client is filed again by its new credit.
    for (CClient* c = clients; c != nullptr; c = c->next) {
        c->SetMessageRate(rate, burst);
        c->Schedule();
    }
}

void CServer::AddHook(CPassHook* hook) {
    if (gate_ != nullptr) {
        lists_->hooks.push_back(hook);
    }
}

void CServer::RunHooks(void (CPassHook::*phase)(const CDeadlines&)) {
    if (gate_ != nullptr) {
        for (CPassHook* hook : lists_->hooks) {
            (hook->*phase)(clock);
        }
    }
}

void CServer::Update(int elapsedMs) {
    StartPass(elapsedMs);
    AcceptWaiting();
    // After the accept, so a client taken in this pass is looked at too.
    Platform().RefreshReadiness();
    // What the room's stream brought goes out to the clients in this pass;
    // what they hand over goes to the stream right after their turns.
    RunHooks(&CPassHook::BeforeClients);
    TakeTurns();
    RunHooks(&CPassHook::AfterClients);
    SendLateOutput();
}

void CServer::SendLateOutput() {
    if (gate_ == nullptr) {
        return;
    }
    std::vector<CClient*>& late = lists_->late;
    // Taken off first: a removal below looks for the client in the list.
    for (size_t i = late.size(); i > 0; --i) {
        CClient* client = late[i - 1];
        late.pop_back();
        if (client->SendLate()) {
            client->Schedule();
        } else {
            Remove(client);
        }
    }
}

int CServer::WaitMs(int mostMs) const {
    if (busy.First() != nullptr) {
        return 0;
    }
    long long until = clock.NextAt(clock.Now() + mostMs);
    if (Draining() && drainEndsAt_ < until) {
        until = drainEndsAt_;
    }
    long long ms = until - clock.Now();
    return ms < 0 ? 0 : static_cast<int>(ms);
}

void CServer::StartPass(int elapsedMs) {
    elapsedMs_ = elapsedMs;
    clock.Advance(elapsedMs);
    handshakes.NewPass();
    relay.NewPass();
}

void CServer::AcceptWaiting() {
    if (gate_ == nullptr) {
        return;
    }
    int reads = g_tokens.Reads();
    g_tokens.Check(clock.Now());
    if (g_tokens.Reads() != reads) {
        DropRevoked();
    }
    gate_->admission.Report(clock.Now());
    // OpenSSL's heap grows inside its calls, where no room can be asked
    // for: the budget is kept here, once a pass, the clients' TLS state
    // being theirs.
    memory.Update(gate_->sharedTlsHeap, OpenSslHeapShared(), 0, false);
    if (!memory.Fits(0) && clients != nullptr) {
        clients->KeepBudget();
    }
    for (Listener& l : gate_->listeners) {
        if (l.maker->Pass(elapsedMs_)) {
            DropUnaccepted(*l.maker);
        }
        if (l.socket != INVALID_SOCKET) {  // closed for a drain
            AcceptSome(l.socket, *l.maker);
        }
    }
}

bool CServer::FindDue() {
    // Who has something to do: what the look reported, who has work, and
    // whose deadline has come. A look that cannot tell makes it everyone.
    CPlatform& platform = Platform();
    unsigned pass = clock.Pass();
    std::vector<CClient*>& due = lists_->due;
    due.clear();
    CPlatform::ReadyList ready = platform.ReadySockets();
    bool everyone = !ready.complete;
    int lights = 0;
    int halves = 0;
    auto countReader = [&](CClient* c) {
        if (!c->Dropping() && !c->HeldBack()) {
            lights += c->HalfReceived() ? 0 : 1;
            halves += c->HalfReceived() && c != intake.Served() ? 1 : 0;
        }
    };
    if (everyone) {
        for (CClient* c = clients; c != nullptr; c = c->next) {
            countReader(c);
        }
    } else {
        for (int i = 0; i < ready.count; ++i) {
            auto found = lists_->bySocket.find(ready.sockets[i]);
            // A client held back for its rate reads nothing, whatever its socket says.
            if (found != lists_->bySocket.end() && found->second->readyPass != pass &&
                !found->second->HeldBack()) {
                found->second->readyPass = pass;
                countReader(found->second);
                MarkDue(found->second);
            }
        }
        for (CWorkList::Entry* e = busy.First(); e != nullptr; e = e->next) {
            CClient* c = static_cast<CClient*>(e->owner);
            // Bytes its connection holds are read as if the socket had them.
            if (c->Pending() && c->readyPass != pass) {
                c->readyPass = pass;
                countReader(c);
            }
            MarkDue(c);
        }
    }
    // Taken even when everyone has a turn, so the wheel keeps up.
    while (CDeadlines::Entry* e = clock.TakeExpired()) {
        MarkDue(static_cast<CClient*>(e->owner));
    }
    intake.Begin(lights, halves);
    return everyone;
}

void CServer::TakeTurns() {
    if (clients == nullptr) {
        return;
    }
    bool everyone = FindDue();
    std::vector<CClient*>& due = lists_->due;
    // Turns go round: from `first` to the oldest, then from the newest to
    // the one before `first`. A removed client is unlinked before it is
    // deleted, so the next one is taken before its turn; a removed
    // `nextRoundStart` moves on by itself.
    CClient* first = nextRoundStart != nullptr ? nextRoundStart : clients;
    nextRoundStart = first->next;
    clock.BeginRound(first->seq, clients->seq);
    // Many due, or everyone: walking the list costs no more than sorting.
    if (everyone || due.size() * 4 > static_cast<size_t>(clientCount_)) {
        TurnsInOrder(first, ~0ull, everyone);
        clock.EndRound();
        return;
    }
    std::sort(due.begin(), due.end(),
              [this](const CClient* a, const CClient* b) { return Rank(a) < Rank(b); });
    for (size_t i = 0; i < due.size(); ++i) {
        CClient* client = due[i];
        CClient* following = client->next;
        unsigned long long rank = Rank(client);
        unsigned long long additions = busy.Additions();
        bool alive = GiveTurn(client, false);
        // Others were given work in that turn (a relayed message, a drop):
        // those later in the round have their turn in this pass, as they
        // would in a walk of everyone.
        bool othersGotWork =
            busy.Additions() != additions &&
            !(alive && busy.Additions() == additions + 1 && busy.LastAdded() == &client->work);
        if (othersGotWork) {
            TurnsInOrder(following, rank, false);
            break;
        }
    }
    clock.EndRound();
}
