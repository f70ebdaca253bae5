#include "server/relay.h"

#include <cstdlib>

#include "server/client.h"
#include "server/server.h"

char* g_history[3] = {nullptr, nullptr, nullptr};

void KeepInHistory(char* message) {
    std::free(g_history[2]);
    g_history[2] = g_history[1];
    g_history[1] = g_history[0];
    g_history[0] = message;
}

void ClearHistory() {
    for (char*& entry : g_history) {
        std::free(entry);
        entry = nullptr;
    }
}

void Broadcast(char* message) {
    KeepInHistory(message);
    // SendText never deletes a client, so the list stays intact while walked.
    for (CClient* client = g_server.clients; client != nullptr; client = client->next) {
        client->SendText(message);
    }
}

void ReplayHistory(CClient* client) {
    for (int i = 2; i >= 0; --i) {
        client->SendText(g_history[i]);
    }
}
