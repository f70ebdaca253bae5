#include "policy/memory_budget.h"

#include "policy/intrusive_list.h"

namespace {
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

void CMemoryBudget::File(Entry& e, int sizeClass) {
    if (e.sizeClass == sizeClass) {
        return;
    }
    if (e.sizeClass >= 0) {
        intrusive::Unlink(classes_[e.sizeClass], e);
    }
    e.sizeClass = sizeClass;
    if (sizeClass >= 0) {
        intrusive::PushFront(classes_[sizeClass], e);
    }
}

void CMemoryBudget::Update(Entry& e, long long bytes, long long queued, bool candidate) {
    total_ += bytes - e.bytes;
    e.bytes = bytes;
    e.queued = queued;
    File(e, candidate ? SizeClassOf(bytes) : -1);
}

void CMemoryBudget::Forget(Entry& e) {
    total_ -= e.bytes;
    e.bytes = 0;
    e.queued = 0;
    File(e, -1);
}

CMemoryBudget::Entry* CMemoryBudget::Largest() const {
    for (int k = kClasses - 1; k >= 0; --k) {
        Entry* best = classes_[k];
        // Equal buffers: the one with more in them has fallen further behind.
        for (Entry* e = best; e != nullptr; e = e->next) {
            if (e->bytes > best->bytes || (e->bytes == best->bytes && e->queued > best->queued)) {
                best = e;
            }
        }
        if (best != nullptr) {
            return best;
        }
    }
    return nullptr;
}
