#include "server/relay.h"

#include <cstdlib>
#include <cstring>

#include "server/client.h"
#include "server/server.h"
#include "stream/shared_block.h"

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

namespace {
// Relayed frames are written one behind the other into one block, so that
// each client's queue holds the frames of a pass as one run. The block is
// written from the front again once no queue holds any of it.
constexpr int kRelayBlockSize = 65536;
CSharedBlock* g_relayBlock = nullptr;

// Where the frame of `text` now is: in the relay block, or in a new one when
// it has no room. False when the heap refused a new block.
bool WriteRelayed(const char* text, size_t length, int size, int* at) {
    if (g_relayBlock != nullptr) {
        g_relayBlock->Rewind();  // succeeds when no queue holds any of it
        if (g_relayBlock->Room() < size) {
            g_relayBlock->Release();
            g_relayBlock = nullptr;
        }
    }
    if (g_relayBlock == nullptr) {
        g_relayBlock = CSharedBlock::Make(size > kRelayBlockSize ? size : kRelayBlockSize);
        if (g_relayBlock == nullptr) {
            return false;
        }
    }
    *at = g_relayBlock->AppendFrame(text, length);
    return true;
}
}  // namespace

void Broadcast(char* message) {
    KeepInHistory(message);
    if (message[0] == '\0') {
        return;  // kept, but an empty text is never sent
    }
    size_t length = std::strlen(message);
    long long size = CSharedBlock::FrameSize(length);
    int at = 0;
    CSharedBlock* block = nullptr;
    if (size > 0 && size <= kMaxQueuedOutput &&
        WriteRelayed(message, length, static_cast<int>(size), &at)) {
        block = g_relayBlock;
    }
    // SendShared never deletes a client, so the list stays intact while walked.
    for (CClient* client = g_server.clients; client != nullptr; client = client->next) {
        client->SendShared(block, at, static_cast<int>(size));
    }
}

void ReplayHistory(CClient* client) {
    for (int i = 2; i >= 0; --i) {
        client->SendText(g_history[i]);
    }
}
