#include "server/server.h"

#include <new>

#include "server/client.h"
#include "server/console.h"
#include "server/relay.h"
#include "server/room.h"
#include "server/settings.h"

CServer g_server;
char g_exeDir[256];
CSettings g_settings;
std::atomic<unsigned char> g_quit{0};

namespace {
// Every local address unless an option named one.
int Bind(CPlatform& platform, SocketHandle listener, std::uint16_t port) {
    if (g_settings.bindAddress.empty()) {
        return platform.BindAnyIPv4(listener, port);
    }
    return platform.BindIPv4(listener, static_cast<std::uint32_t>(g_settings.bindIPv4), port);
}
}  // namespace

CServer::~CServer() {
    Shutdown();
}

void CServer::Shutdown() {
    while (clients != nullptr) {
        delete clients;  // the destructor unlinks it and advances the head
    }
    if (listenSocket != INVALID_SOCKET) {
        Platform().CloseSocket(listenSocket);
        listenSocket = INVALID_SOCKET;
    }
}

bool CServer::Open(int requestedPort) {
    Shutdown();
    port = static_cast<std::uint16_t>(requestedPort & 0xFFFF);
    CPlatform& platform = Platform();
    listenSocket = platform.CreateTcpSocket();
    if (listenSocket == INVALID_SOCKET) {
        return false;
    }
    platform.SetReuseAddress(listenSocket);
    if (platform.SetNonBlocking(listenSocket) != 0 || Bind(platform, listenSocket, port) < 0 ||
        platform.Listen(listenSocket, kListenBacklog) < 0) {
        platform.CloseSocket(listenSocket);
        listenSocket = INVALID_SOCKET;
        return false;
    }
    return true;
}

void CServer::AcceptOne() {
    CPlatform& platform = Platform();
    SocketHandle accepted = platform.Accept(listenSocket);
    if (accepted == INVALID_SOCKET) {
        return;
    }
    CClient* client = nullptr;
    if (platform.SetNonBlocking(accepted) == 0) {
        client = new (std::nothrow) CClient(accepted);
    }
    if (client == nullptr) {
        platform.CloseSocket(accepted);
        return;
    }
    ConsolePrint("New client connected\n");
    client->next = clients;
    if (clients != nullptr) {
        clients->prev = client;
    }
    clients = client;
    ReplayHistory(client);
}

void CServer::Update(int elapsedMs) {
    CPlatform& platform = Platform();
    if (listenSocket != INVALID_SOCKET) {
        AcceptOne();
    }
    // After the accept, so a client taken in this pass is looked at too.
    platform.RefreshReadiness();
    // What the room's stream brought goes out to the clients in this pass;
    // what they hand over goes to the stream right after their turn.
    RoomBeforeClients();
    int lights = 0;
    int halves = 0;
    for (CClient* c = clients; c != nullptr; c = c->next) {
        c->mayRead = platform.MayRead(c->socket);
        if (c->mayRead && !c->Dropping()) {
            lights += c->input.size == 0 ? 1 : 0;
            halves += c->input.size != 0 && c != intake.Served() ? 1 : 0;
        }
    }
    intake.Begin(lights, halves);
    // Turns go round: from `first` to the tail, then from the head to the
    // first client already ticked in this pass. Tick may delete the client,
    // so the next one is taken before; a deleted `turn` moves on by itself.
    if (++pass == 0) {
        pass = 1;  // 0 is what a new client has
    }
    CClient* first = turn != nullptr ? turn : clients;
    turn = first != nullptr ? first->next : nullptr;
    bool wrapped = first == clients;
    for (CClient* client = first; client != nullptr;) {
        CClient* following = client->next;
        if (following == nullptr && !wrapped) {
            following = clients;
            wrapped = true;
        }
        bool light = client->mayRead && !client->Dropping() && client->input.size == 0;
        client->tickedPass = pass;
        client->Tick(elapsedMs);
        intake.EndTurn(light);
        client = following != nullptr && following->tickedPass != pass ? following : nullptr;
    }
    RoomAfterClients();
}

void RunServerLoop() {
    CPlatform& platform = Platform();
    std::uint32_t last = platform.TickCount();
    while (g_quit.load() == 0) {
        std::uint32_t now = platform.TickCount();
        // Signed difference: survives the clock wrapping at 2^32.
        int elapsed = static_cast<int>(static_cast<std::int32_t>(now - last));
        last = now;
        if (elapsed > kMaxElapsedMs) {
            elapsed = kMaxElapsedMs;
        }
        g_server.Update(elapsed);
        platform.SleepMs(kPassSleepMs);
    }
}
