#include "room/room_outbox.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "console/console.h"

namespace {

std::string NewTag() {
    std::random_device source;
    char text[24];
    std::snprintf(text, sizeof text, "%08x%08x", source(), source());
    return text;
}

}  // namespace

CRoomOutbox::CRoomOutbox() : tag_(NewTag()) {}

CRoomOutbox::~CRoomOutbox() {
    for (Held& h : held_) {
        std::free(h.text);
    }
}

void CRoomOutbox::Hold(char* message) {
    std::size_t length = std::strlen(message);
    if (held_.size() >= kMaxHeldMessages || heldBytes_ + length > kMaxHeldBytes) {
        std::free(message);
        ++dropped_;
        if (!dropping_) {
            ConsolePrint("Holding full, dropping messages\n");
            dropping_ = true;
        }
        return;
    }
    held_.push_back({message, length, nextSeq_++, false});
    heldBytes_ += length;
}

void CRoomOutbox::ReleaseOldest() {
    heldBytes_ -= held_.front().length;
    std::free(held_.front().text);
    held_.pop_front();
}

void CRoomOutbox::Confirmed() {
    ReleaseOldest();
    --sentAdds_;
}

void CRoomOutbox::OnReplica() {
    for (; awaitingReplica_ > 0; --awaitingReplica_) {
        Confirmed();
    }
}

void CRoomOutbox::Broken() {
    awaitingReplica_ = 0;  // kept held: uncertain with the rest
    for (std::size_t i = 0; i < sentAdds_; ++i) {
        held_[i].uncertain = true;
    }
    sentAdds_ = 0;
    recovering_ = !held_.empty() && held_.front().uncertain;
}

void CRoomOutbox::FoundInStream(std::uint64_t seq) {
    // Written before the link broke: not to be sent again.
    while (!held_.empty() && held_.front().uncertain && held_.front().seq <= seq) {
        ReleaseOldest();
    }
}

void CRoomOutbox::CaughtUp() {
    recovering_ = false;
    std::size_t again = 0;
    for (Held& h : held_) {
        if (!h.uncertain) {
            break;  // the uncertain ones are the oldest, at the front
        }
        h.uncertain = false;
        ++again;
    }
    if (again > 0) {
        ConsolePrint("Sending %zu messages again\n", again);
    }
}

void CRoomOutbox::ReportDrops() {
    if (dropping_ && held_.size() <= kMaxHeldMessages / 2 && heldBytes_ <= kMaxHeldBytes / 2) {
        ConsolePrint("Dropped %llu messages\n", dropped_ - droppedTold_);
        droppedTold_ = dropped_;
        dropping_ = false;
    }
}

void CRoomOutbox::ReportAtStop(std::size_t unwrittenAdds) const {
    if (held_.empty()) {
        return;
    }
    // Sent, but not answered: on an earlier connection (uncertain), or on
    // this one, where the tail of what was queued may not be written yet.
    std::size_t unanswered = 0;
    for (const Held& h : held_) {
        unanswered += h.uncertain ? 1 : 0;
    }
    unanswered += sentAdds_ - std::min(sentAdds_, unwrittenAdds);
    std::size_t unsent = held_.size() - unanswered;
    if (unanswered > 0) {
        ConsolePrint("%zu messages sent to Redis before stopping were not confirmed\n", unanswered);
    }
    if (unsent > 0) {
        ConsolePrint("Could not send %zu messages to Redis before stopping\n", unsent);
    }
}
