#include "server/memory_budget.h"

#include "server/client.h"
#include "server/settings.h"

namespace {
const char kBudgetLine[] = "Memory budget exceeded\n";

// The power of two of `bytes`, -1 for none; this runs for every queued frame.
int SizeClassOf(long long bytes) {
    if (bytes <= 0) {
        return -1;
    }
#if defined(__GNUC__)
    return 63 - __builtin_clzll(static_cast<unsigned long long>(bytes));
#else
    int k = -1;
    while (bytes > 0) {
        bytes >>= 1;
        ++k;
    }
    return k;
#endif
}
}  // namespace

void CMemoryBudget::File(CClient* client, int sizeClass) {
    Entry& e = client->budget;
    if (e.sizeClass == sizeClass) {
        return;
    }
    if (e.sizeClass >= 0) {
        if (e.prev != nullptr) {
            e.prev->budget.next = e.next;
        } else {
            classes_[e.sizeClass] = e.next;
        }
        if (e.next != nullptr) {
            e.next->budget.prev = e.prev;
        }
        e.next = e.prev = nullptr;
    }
    e.sizeClass = sizeClass;
    if (sizeClass >= 0) {
        e.next = classes_[sizeClass];
        if (e.next != nullptr) {
            e.next->budget.prev = client;
        }
        classes_[sizeClass] = client;
    }
}

void CMemoryBudget::Update(CClient* client) {
    Entry& e = client->budget;
    long long bytes = client->HeldBytes();
    total_ += bytes - e.bytes;
    e.bytes = bytes;
    // A client being dropped is no candidate any more; its bytes count until it goes.
    File(client, client->Dropping() ? -1 : SizeClassOf(bytes));
}

void CMemoryBudget::Forget(CClient* client) {
    total_ -= client->budget.bytes;
    client->budget.bytes = 0;
    File(client, -1);
}

CClient* CMemoryBudget::Largest() const {
    for (int k = kClasses - 1; k >= 0; --k) {
        CClient* best = classes_[k];
        // Equal buffers: the one with more in them has fallen further behind.
        for (CClient* c = best; c != nullptr; c = c->budget.next) {
            if (c->budget.bytes > best->budget.bytes ||
                (c->budget.bytes == best->budget.bytes && c->QueuedBytes() > best->QueuedBytes())) {
                best = c;
            }
        }
        if (best != nullptr) {
            return best;
        }
    }
    return nullptr;
}

bool CMemoryBudget::MakeRoom(CClient* client, long long bytes) {
    while (total_ + bytes > g_settings.maxMemoryBytes) {
        CClient* victim = Largest();
        if (victim == nullptr || victim == client) {
            client->Drop(kBudgetLine);  // nothing else to free: it cannot have the room
            return false;
        }
        if (victim->QueuedBytes() == 0) {
            victim->GiveBackSpare();
        } else {
            victim->Drop(kBudgetLine);
        }
    }
    return true;
}
