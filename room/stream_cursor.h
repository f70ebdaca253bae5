#pragma once

#include <hiredis/hiredis.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "room/room_delivery.h"
#include "room/room_entry.h"
#include "room/room_outbox.h"
#include "room/stream_anchor.h"
#include "room/stream_id.h"

constexpr int kStallMs = 1000;             // reads this far apart may have let entries be trimmed
constexpr std::size_t kMaxWriters = 4096;  // writers remembered against duplicates
constexpr int kSkipReportMs = 10000;       // at most one line about bad entries per this
// How far a writer's number may run ahead of its last one beyond the entries
// the stream took in since (a few deleted with XDEL, a few lost to a failover).
constexpr std::uint64_t kMaxSeqLead = 1000;

// Where this instance reads the room's stream, and what it makes of what it
// reads. The anchor (where the stream stands, and its last entries as the
// history and the resume window, CStreamAnchor) comes first; from then on reads go on from the last
// entry seen, counting each entry's place in the stream's lifetime, and a check of where the stream
// stands tells entries trimmed before they were read (counted as missed) and a stream that is
// another (read from its start). Each entry is handed to the delivery in stream order, once per
// writer's message number; entries that are no message, or whose number is far ahead of its writer,
// are skipped and told at most once per kSkipReportMs. This instance's own
// entries, while its outbox recovers, show which uncertain adds Redis has.
class CStreamCursor {
  public:
    CStreamCursor(CRoomDelivery& delivery, CRoomOutbox& outbox)
        : delivery_(delivery), outbox_(outbox) {}
    ~CStreamCursor();
    CStreamCursor(const CStreamCursor&) = delete;
    CStreamCursor& operator=(const CStreamCursor&) = delete;

    // A pass at `now`: a quiet count of skips is told when its time came.
    void Pass(long long now);
    // How many relayed messages clients may resume from (0: none): the
    // anchor reads that many of the stream's last entries.
    void UseWindow(std::size_t window) { anchor_.UseWindow(window); }
    bool Anchored() const { return anchored_; }
    // Entries the connection's first look at the stream reads, newest
    // first; while Anchoring(), the next page reads back from AnchorFrom().
    std::size_t AnchorCount() const { return anchor_.NextCount(); }
    bool Anchoring() const { return !anchored_ && anchor_.More(); }
    const CStreamId& AnchorFrom() const { return anchor_.NextFrom(); }
    // The next read: from this entry on, this many at most.
    const CStreamId& LastId() const { return lastId_; }
    int ReadCount() const { return readCount_; }
    // Whether a read now is to look where the stream stands first: the last
    // came back full, or was this long ago, or the process stalled.
    bool CheckDue(long long now) const { return checkDue_ || now - lastReadAt_ > kStallMs; }
    void Checked() { checkDue_ = false; }
    // A read (or a connection's look at the stream) went out at `now`.
    void Read(long long now) { lastReadAt_ = now; }
    // The process stood still longer than the pass clock shows: the next
    // read looks where the stream stands first, and one in flight
    // (`readQueued`) is not taken, as it may have skipped entries unseen.
    void Stalled(bool readQueued) {
        checkDue_ = true;
        discardRead_ = discardRead_ || readQueued;
    }

    // The answers: the anchor's (EXEC of XINFO STREAM and XREVRANGE, then
    // any further page's XREVRANGE), a check's (XINFO STREAM; `readQueued`
    // when a read follows it in the same batch) and a read's (XREAD).
    void BeginAnchor() { anchor_.Begin(); }
    void OnAnchor(const redisReply* reply);
    void OnAnchorPage(const redisReply* reply);
    void OnCheck(const redisReply* reply, bool readQueued);
    void OnRead(const redisReply* reply);
    // With a replica to wait for: a read's answer is held (owned) until
    // WAIT says whether it is delivered or made again from the same place.
    void HoldRead(redisReply* reply);
    void DeliverHeldRead();
    void DropHeldRead();
    // The connection broke: answers still expected are gone, and an anchor
    // half read is read again.
    void Broken() {
        DropHeldRead();
        anchor_.Drop();
    }
    // From a stop on, nothing read is delivered.
    void StopDelivering() { stopping_ = true; }

    unsigned long long EntriesRead() const { return entriesRead_; }
    unsigned long long Missed() const { return missed_; }

  private:
    // True when a writer's number is further ahead of what it can have sent
    // than any of its messages can be: this instance's own beyond the last it
    // numbered, another's beyond its last by more than the entries between
    // (plus kMaxSeqLead). Such an entry is skipped and moves no mark.
    bool FarAhead(const COrigin& origin) const;
    // True the first time a writer's message number comes (or a later one).
    bool FirstDelivery(const COrigin& origin);
    void ReadFromStart(long long entriesBefore, bool readQueued);
    void CountMissed(long long missed);
    // An entry that is no message: read past, never relayed.
    void Skip(const redisReply* id, const char* why);

    CRoomDelivery& delivery_;
    CRoomOutbox& outbox_;
    CRoomEntry entry_;
    CStreamAnchor anchor_;
    long long now_ = 0;

    // Where reading stands: the last entry seen and how many entries the
    // stream had taken in up to it (its place in the stream's lifetime).
    bool anchored_ = false;
    CStreamId lastId_;
    long long seen_ = 0;
    long long lastReadAt_ = 0;
    bool checkDue_ = false;
    bool discardRead_ = false;
    int readCount_ = kReadCount;  // fewer after a reply that reached its bound
    redisReply* heldRead_ = nullptr;
    bool stopping_ = false;

    // The last message number delivered per writer, so a message written
    // twice (sent again after a failover) is delivered once; with the place
    // in the stream it came at, and the counting it was placed by (bumped
    // whenever places before and after are not comparable).
    struct Writer {
        std::uint64_t seq;
        long long at;
        unsigned counting;
    };
    std::unordered_map<std::string, Writer> lastSeqOf_;
    unsigned counting_ = 0;

    bool skipLineShown_ = false;
    long long skipLineAt_ = 0;
    unsigned long long skippedQuietly_ = 0;
    unsigned long long entriesRead_ = 0;  // taken from the stream
    unsigned long long missed_ = 0;       // trimmed before they were read
};
