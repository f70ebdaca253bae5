#include "room/stream_cursor.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "console/console.h"
#include "room/redis_reply.h"

namespace {

bool ParseId(const redisReply* r, CStreamId* id) {
    return reply::IsText(r) && id->Parse(r->str, r->len);
}
}  // namespace

CStreamCursor::~CStreamCursor() {
    freeReplyObject(heldRead_);
}

void CStreamCursor::Pass(long long now) {
    now_ = now;
    if (skippedQuietly_ > 0 && now - skipLineAt_ >= kSkipReportMs) {
        ConsolePrint("Skipped %llu more room entries\n", skippedQuietly_);
        skippedQuietly_ = 0;
        skipLineAt_ = now;
    }
}

void CStreamCursor::OnAnchor(const redisReply* r) {
    const redisReply* info = r->element[0];
    const redisReply* last = r->element[1];
    seen_ = 0;
    lastId_ = CStreamId();
    if (!reply::NoSuchKey(info)) {
        reply::Integer(reply::Field(info, "entries-added"), &seen_);
        ParseId(reply::Field(info, "last-generated-id"), &lastId_);
    }
    OnAnchorPage(last);
}

void CStreamCursor::OnAnchorPage(const redisReply* page) {
    // The room's last messages become the history, oldest first; entries
    // that are no message are passed over.
    anchor_.TakePage(page, entry_,
                     [this](const redisReply* id, const char* why) { Skip(id, why); });
    if (!anchor_.More()) {
        anchor_.HandOver(delivery_);
        anchored_ = true;
    }
}

void CStreamCursor::OnCheck(const redisReply* r, bool readQueued) {
    if (reply::NoSuchKey(r)) {
        if (seen_ > 0 || !lastId_.IsZero()) {
            ConsolePrint("Room stream reset in Redis\n");
            ReadFromStart(0, readQueued);
        }
        return;
    }
    long long added = 0, length = 0;
    if (!reply::Integer(reply::Field(r, "entries-added"), &added) ||
        !reply::Integer(reply::Field(r, "length"), &length)) {
        ++counting_;  // trimmed entries may have gone uncounted
        return;       // a Redis before 7.0 does not tell, so nothing can be counted
    }
    long long removed = added - length;  // trimmed over the stream's lifetime
    CStreamId first;
    const redisReply* firstEntry = reply::Field(r, "first-entry");
    bool haveFirst = reply::IsArray(firstEntry, 2) && ParseId(firstEntry->element[0], &first);
    // In the stream we read, our last entry would still be there unless
    // trimmed; a stream that took in fewer, or lacks it untrimmed, is another.
    if (added < seen_ || (haveFirst && removed < seen_ && lastId_ < first)) {
        ConsolePrint("Room stream reset in Redis\n");
        ReadFromStart(removed, readQueued);
        CountMissed(removed);
    } else if (removed > seen_) {
        CountMissed(removed - seen_);
        seen_ = removed;
    }
}

void CStreamCursor::CountMissed(long long missed) {
    if (missed > 0) {
        ConsolePrint("Missed %lld messages\n", missed);
        missed_ += static_cast<unsigned long long>(missed);
    }
}

void CStreamCursor::ReadFromStart(long long entriesBefore, bool readQueued) {
    lastId_ = CStreamId();
    seen_ = entriesBefore;
    ++counting_;  // places in the new stream say nothing of the old one's
    delivery_.ReplaceHistory(nullptr, nullptr, 0);
    // A read already sent in this batch went from the old place.
    discardRead_ = readQueued;
}

void CStreamCursor::OnRead(const redisReply* r) {
    if (discardRead_) {
        discardRead_ = false;
        return;
    }
    const redisReply* entries = nullptr;
    if (reply::IsArray(r, 1) && reply::IsArray(r->element[0], 2)) {
        entries = r->element[0]->element[1];
    }
    std::size_t count = reply::IsArray(entries) ? entries->elements : 0;
    unsigned long long duplicates = 0;
    bool heldBack = false;
    for (std::size_t i = 0; i < count; ++i) {
        const redisReply* entry = entries->element[i];
        // The reply's bound was reached: the rest is read again, fewer at a
        // time. The first entry always fits, unless it is no message.
        if (i > 0 && CRoomEntry::HeldBack(entry)) {
            heldBack = true;
            readCount_ = static_cast<int>(i);
            break;
        }
        CStreamId id;
        if (!reply::IsArray(entry, 2) || !ParseId(entry->element[0], &id)) {
            Skip(CRoomEntry::Id(entry), "not an entry");
            continue;
        }
        if (!(lastId_ < id)) {
            continue;
        }
        lastId_ = id;
        ++seen_;
        ++entriesRead_;
        const char* fault = entry_.Read(entry);
        if (fault != nullptr) {
            Skip(entry->element[0], fault);  // read past, never relayed
            continue;
        }
        const COrigin& origin = entry_.Origin();
        if (FarAhead(origin)) {
            Skip(entry->element[0], "number far ahead of its writer");
            continue;
        }
        if (outbox_.Recovering() && origin.tag == outbox_.Tag()) {
            outbox_.FoundInStream(origin.seq);
        }
        if (!FirstDelivery(origin)) {
            ++duplicates;  // written twice (sent again after a failover)
            continue;
        }
        char* copy = entry_.CopyText();
        if (copy != nullptr && !stopping_) {
            delivery_.Deliver(copy, entry->element[0]->str);  // its position: the id
        } else {
            std::free(copy);  // stopping: the clients are no longer served
        }
    }
    if (duplicates > 0) {
        ConsolePrint("Suppressed %llu duplicate messages\n", duplicates);
    }
    bool full = heldBack || count >= static_cast<std::size_t>(readCount_);
    if (!heldBack) {
        readCount_ = std::min(readCount_ * 2, kReadCount);  // back to the most
    }
    if (full) {
        checkDue_ = true;  // behind: the next read may find entries trimmed
    } else if (outbox_.Recovering()) {
        outbox_.CaughtUp();  // read to the end
    }
}

void CStreamCursor::HoldRead(redisReply* r) {
    freeReplyObject(heldRead_);
    heldRead_ = r;
}

void CStreamCursor::DeliverHeldRead() {
    if (heldRead_ != nullptr) {
        redisReply* read = heldRead_;
        heldRead_ = nullptr;
        OnRead(read);
        freeReplyObject(read);
    }
}

void CStreamCursor::DropHeldRead() {
    freeReplyObject(heldRead_);
    heldRead_ = nullptr;
    discardRead_ = false;  // a read to be discarded is gone already
}

bool CStreamCursor::FarAhead(const COrigin& origin) const {
    if (origin.tag == outbox_.Tag()) {
        return origin.seq >= outbox_.NextSeq();
    }
    auto found = lastSeqOf_.find(origin.tag);
    if (found == lastSeqOf_.end() || found->second.counting != counting_ ||
        origin.seq <= found->second.seq) {
        return false;  // nothing to measure it by, or no lead at all
    }
    // Each of the writer's messages since its last takes a place in the
    // stream, trimmed ones included: the lead cannot exceed the places.
    std::uint64_t places =
        seen_ > found->second.at ? static_cast<std::uint64_t>(seen_ - found->second.at) : 0;
    return origin.seq - found->second.seq > places + kMaxSeqLead;
}

bool CStreamCursor::FirstDelivery(const COrigin& origin) {
    auto found = lastSeqOf_.find(origin.tag);
    if (found != lastSeqOf_.end()) {
        if (origin.seq <= found->second.seq) {
            return false;
        }
        found->second = {origin.seq, seen_, counting_};
        return true;
    }
    if (lastSeqOf_.size() >= kMaxWriters) {
        lastSeqOf_.clear();  // writers of long ago; a rare reset
    }
    lastSeqOf_.emplace(origin.tag, Writer{origin.seq, seen_, counting_});
    return true;
}

void CStreamCursor::Skip(const redisReply* id, const char* why) {
    if (skipLineShown_ && now_ - skipLineAt_ < kSkipReportMs) {
        ++skippedQuietly_;
        return;
    }
    std::string idText = reply::IsText(id)
                             ? std::string(id->str, std::min<std::size_t>(id->len, 40))
                             : std::string("?");
    ConsolePrint("Skipped room entry %s: %s\n", idText.c_str(), why);
    skipLineShown_ = true;
    skipLineAt_ = now_;
}
