#include "policy/work_list.h"

void CWorkList::Add(Entry& e) {
    if (e.listed) {
        return;
    }
    e.listed = true;
    e.prev = nullptr;
    e.next = first_;
    if (first_ != nullptr) {
        first_->prev = &e;
    }
    first_ = &e;
    ++additions_;
    lastAdded_ = &e;
}

void CWorkList::Remove(Entry& e) {
    if (!e.listed) {
        return;
    }
    if (e.prev != nullptr) {
        e.prev->next = e.next;
    } else {
        first_ = e.next;
    }
    if (e.next != nullptr) {
        e.next->prev = e.prev;
    }
    e.next = e.prev = nullptr;
    e.listed = false;
    if (lastAdded_ == &e) {
        lastAdded_ = nullptr;
    }
}
