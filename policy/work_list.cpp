#include "policy/work_list.h"

#include "policy/intrusive_list.h"

void CWorkList::Add(Entry& e) {
    if (e.listed) {
        return;
    }
    e.listed = true;
    intrusive::PushFront(first_, e);
    ++additions_;
    lastAdded_ = &e;
}

void CWorkList::Remove(Entry& e) {
    if (!e.listed) {
        return;
    }
    intrusive::Unlink(first_, e);
    e.listed = false;
    if (lastAdded_ == &e) {
        lastAdded_ = nullptr;
    }
}
