#pragma once

// The two moves of the policies' intrusive lists, whose entries live in
// their holders and carry `next` and `prev`: O(1), no allocation.
namespace intrusive {

template <class Entry>
void PushFront(Entry*& head, Entry& e) {
    e.prev = nullptr;
    e.next = head;
    if (head != nullptr) {
        head->prev = &e;
    }
    head = &e;
}

template <class Entry>
void Unlink(Entry*& head, Entry& e) {
    if (e.prev != nullptr) {
        e.prev->next = e.next;
    } else {
        head = e.next;
    }
    if (e.next != nullptr) {
        e.next->prev = e.prev;
    }
    e.next = e.prev = nullptr;
}

}  // namespace intrusive
