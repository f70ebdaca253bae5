#include "server/server.h"

#include <memory>
#include <new>

#include "connection/tcp_connection.h"
#include "console/console.h"
#include "server/messages.h"
#include "server/room.h"
#include "server/settings.h"

CServer g_server;
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
        Remove(clients);
    }
    if (listenSocket != INVALID_SOCKET) {
        Platform().CloseSocket(listenSocket);
        listenSocket = INVALID_SOCKET;
    }
}

bool CServer::Open(int requestedPort) {
    Shutdown();
    port = static_cast<std::uint16_t>(requestedPort & 0xFFFF);
    memory.SetLimit(g_settings.maxMemoryBytes);
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
    if (turn == client) {
        turn = client->next;
    }
    relay.Leave(client);
    delete client;
}

bool CServer::Turn(CClient* client, int elapsedMs) {
    if (!client->Tick(elapsedMs)) {
        return false;
    }
    char* message = nullptr;
    CClient::Next next;
    while ((next = client->NextMessage(&message)) == CClient::Next::kMessage) {
        HandleMessage(*client, message, relay, port);
    }
    return next == CClient::Next::kNone;
}

void CServer::AcceptOne() {
    CPlatform& platform = Platform();
    SocketHandle accepted = platform.Accept(listenSocket);
    if (accepted == INVALID_SOCKET) {
        return;
    }
    CClient* client = nullptr;
    if (platform.SetNonBlocking(accepted) == 0) {
        std::unique_ptr<CConnection> connection(new (std::nothrow) CTcpConnection(accepted));
        if (connection != nullptr) {
            client = new (std::nothrow) CClient(std::move(connection), intake, memory);
        } else {
            platform.CloseSocket(accepted);
        }
        // A client the heap refused has closed its connection already.
        if (client == nullptr) {
            return;
        }
    } else {
        platform.CloseSocket(accepted);
        return;
    }
    ConsolePrint("New client connected\n");
    client->next = clients;
    if (clients != nullptr) {
        clients->prev = client;
    }
    clients = client;
    relay.Join(client);
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
        c->mayRead = platform.MayRead(c->Socket());
        if (c->mayRead && !c->Dropping()) {
            lights += c->input.size == 0 ? 1 : 0;
            halves += c->input.size != 0 && c != intake.Served() ? 1 : 0;
        }
    }
    intake.Begin(lights, halves);
    // Turns go round: from `first` to the tail, then from the head to the
    // first client already ticked in this pass. A removed client is unlinked
    // before it is deleted, so the next one is taken before its tick; a
    // removed `turn` moves on by itself.
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
        if (!Turn(client, elapsedMs)) {
            Remove(client);
        }
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
