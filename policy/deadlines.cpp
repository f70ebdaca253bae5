#include "policy/deadlines.h"

#include "policy/intrusive_list.h"

void CDeadlines::Advance(int elapsedMs) {
    before_ = now_;
    now_ += elapsedMs;
    if (++pass_ == 0) {
        pass_ = 1;
    }
}

void CDeadlines::BeginRound(unsigned long long first, unsigned long long newest) {
    roundPass_ = pass_;
    first_ = first;
    newest_ = newest;
    turn_ = kNoTurn;
}

void CDeadlines::Unlink(Entry& e) {
    if (e.slot < 0) {
        return;
    }
    intrusive::Unlink(slots_[e.slot], e);
    e.slot = -1;
}

void CDeadlines::Set(Entry& e, long long at) {
    Unlink(e);
    e.at = at;
    // A time already come waits in the slot the next sweep starts at.
    long long slotTime = at >> kSlotShift;
    if (slotTime < sweep_) {
        slotTime = sweep_;
    }
    e.slot = SlotAt(slotTime);
    intrusive::PushFront(slots_[e.slot], e);
}

void CDeadlines::Cancel(Entry& e) {
    Unlink(e);
}

CDeadlines::Entry* CDeadlines::TakeExpired() {
    long long last = now_ >> kSlotShift;
    // Slots wholly past are emptied of what is due; the current one is
    // looked at again by the next pass, since it may hold later times.
    while (sweep_ <= last) {
        for (Entry* e = slots_[SlotAt(sweep_)]; e != nullptr; e = e->next) {
            if (e->at <= now_) {
                Unlink(*e);
                return e;
            }
        }
        if (sweep_ == last) {
            break;
        }
        ++sweep_;
    }
    return nullptr;
}

long long CDeadlines::NextAt(long long limit) const {
    long long next = limit;
    long long last = limit >> kSlotShift;
    // A time already come waits in the slot at sweep_.
    for (long long slot = sweep_; slot <= last && slot < sweep_ + kSlots; ++slot) {
        for (const Entry* e = slots_[SlotAt(slot)]; e != nullptr; e = e->next) {
            if (e->at < next) {
                next = e->at;
            }
        }
    }
    return next;
}
