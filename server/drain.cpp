// The drain: a stop that lets the clients go one by one, so that a load
// balancer can move them elsewhere without a storm of reconnects.
#include "server/server.h"

void CServer::CloseListeners() {
    if (gate_ == nullptr) {
        return;
    }
    for (Listener& l : gate_->listeners) {
        if (l.socket != INVALID_SOCKET) {
            Platform().CloseSocket(l.socket);
            l.socket = INVALID_SOCKET;
        }
    }
    listenSocket = INVALID_SOCKET;
}

int CServer::BeginDrain(long long spanMs) {
    // New connections are refused from now on; the makers stay, as
    // clients they made may still finish a handshake.
    CloseListeners();
    long long start = clock.Now();
    drainEndsAt_ = start + spanMs;
    // One walk, now: from here each close is a deadline of its client's.
    // The list is newest first, so the slots are counted down.
    long long count = clientCount_;
    long long slot = count;
    for (CClient* c = clients; c != nullptr; c = c->next) {
        --slot;
        c->CloseBy(start + spanMs * slot / count);
    }
    return clientCount_;
}

bool CServer::Drained() const {
    return Draining() && (clients == nullptr || clock.Now() >= drainEndsAt_);
}
