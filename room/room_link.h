#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "room/host_lookup.h"
#include "room/redis_channel.h"
#include "room/room_delivery.h"
#include "room/stream_id.h"

// Bounds of the link; docs/cluster.md says why each figure is what it is.
constexpr int kStreamMaxLength = 10000;  // XADD MAXLEN ~: entries Redis keeps
constexpr int kReadCount = 2000;         // most entries one XREAD returns
constexpr int kMaxAddsPerBatch = 500;
constexpr std::size_t kMaxAddBytesPerBatch = 4u << 20;
constexpr std::size_t kMaxHeldMessages = 10000;  // held while Redis is away
constexpr std::size_t kMaxHeldBytes = 16u << 20;
constexpr int kSlowReplyMs = 2000;   // "Redis not answering"
constexpr int kLostReplyMs = 10000;  // the connection is given up
constexpr int kHandshakeMs = 5000;   // a new connection must answer by then
constexpr int kFirstRetryMs = 250;   // backoff, doubling up to the maximum
constexpr int kMaxRetryMs = 5000;
constexpr int kMaxSentinelRetryMs = 1000;  // the same, when Sentinels are asked
constexpr int kStallMs = 1000;             // reads this far apart may have let entries be trimmed
constexpr int kStopMs = 2000;              // a stop waits this long for Redis's answers
constexpr int kStopPassMs = 20;            // the pace of that wait
constexpr int kReplicaWaitMs = 100;        // WAIT's bound, with Sentinel
constexpr int kNoReplicaMs = 2000;         // no replica this long: deliver without one
constexpr std::size_t kMaxWriters = 4096;  // writers remembered against duplicates
constexpr int kSkipReportMs = 10000;       // at most one line about bad entries per this
constexpr std::size_t kMaxTagLength = 16;  // hex digits of a writer's tag
// How far a writer's number may run ahead of its last one beyond the entries
// the stream took in since (a few deleted with XDEL, a few lost to a failover).
constexpr std::uint64_t kMaxSeqLead = 1000;

// Who wrote an entry: the writer's tag and its message number.
struct COrigin {
    std::string tag;
    std::uint64_t seq = 0;
};

// One Redis server (or Sentinel) to reach.
struct CRedisAddress {
    std::string host;
    int port = 0;
};

// This instance's end of a room kept in one Redis stream. Ordinary messages
// of local clients are handed to Publish and appended to the stream (XADD,
// once each); the stream is read on from the last entry seen (XREAD) and
// every entry is handed to the delivery in stream order, so every
// instance delivers the same messages in the same order and keeps the same
// history. A local client's message reaches it only on its way back.
//
// Driven from the pass, never waiting: BeforeClients takes the replies that
// arrived, AfterClients sends the next batch of commands once the previous
// one is answered, so at most one round trip is in flight. While Redis is
// away, messages are held in order (bounded; past the bound new ones are
// dropped and counted) and sent when it is back; the link retries with
// backoff and reads on from the last entry seen. Each change of state is
// one console line.
class CRoomLink {
  public:
    CRoomLink(CRoomDelivery& delivery, std::unique_ptr<CRedisChannel> channel, std::string host,
              int port, std::string key, std::string password);
    ~CRoomLink();
    CRoomLink(const CRoomLink&) = delete;
    CRoomLink& operator=(const CRoomLink&) = delete;

    // Takes ownership of a NUL-terminated heap buffer.
    void Publish(char* message);
    void BeforeClients();
    void AfterClients();
    // At a stop, instead of the pass: sends everything held and waits for
    // Redis to confirm it, for kStopMs at most, delivering nothing more;
    // then tells how many messages were not confirmed or not sent.
    void Stop();
    // Finds the primary through these Sentinels (asked in turn) under the
    // name `master`, before every connection, instead of the address given
    // at construction; entries are then delivered only once a replica holds
    // them (WAIT), and messages are kept until a replica has them.
    void UseSentinels(std::vector<CRedisAddress> sentinels, std::string master);
    // How host names are looked up (tests); by default through the platform.
    void LookUpWith(CHostLookup::Resolve resolve) { lookup_ = CHostLookup(std::move(resolve)); }

    // Figures for the metrics, bumped where each event happens.
    struct Counts {
        unsigned long long entriesRead = 0;  // entries taken from the stream
        unsigned long long missed = 0;       // trimmed before this instance read them
        unsigned long long dropped = 0;      // local messages dropped, holding full
        unsigned long long connects = 0;     // connections begun
    };
    Counts counts;
    bool Up() const { return state_ == State::kUp; }
    std::size_t HeldMessages() const { return held_.size(); }

  private:
    // kAsking: connected to a Sentinel, asking where the primary is.
    enum class State { kWaiting, kAsking, kHandshake, kUp };
    // What each reply still expected answers.
    enum class Step { kPlain, kAnchor, kCheck, kAdd, kRead, kSentinel, kRole, kWait };
    struct Held {
        char* text;
        std::size_t length;
        std::uint64_t seq;
        bool uncertain;  // sent, but the link broke before the answer
    };

    // Connects, by address at once, or once a host name's look-up is done.
    void Reach(std::uint32_t now);
    void Connect(std::uint32_t now, const std::string& address);
    void Ask(std::uint32_t now, const std::string& address);
    bool OnSentinel(const redisReply* reply);
    bool OnRole(const redisReply* reply);
    void OnWait(const redisReply* reply);
    // True when a writer's number is further ahead of what it can have sent
    // than any of its messages can be: this instance's own beyond the last it
    // numbered, another's beyond its last by more than the entries between
    // (plus kMaxSeqLead). Such an entry is skipped and moves no mark.
    bool FarAhead(const COrigin& origin) const;
    // True the first time a writer's message number comes (or a later one).
    bool FirstDelivery(const COrigin& origin);
    void SendBatch(std::uint32_t now);
    void AppendAdds(std::size_t maxCount, std::size_t maxBytes);
    void ReportAtStop();
    bool Command(Step step, int argc, const char** argv, const std::size_t* lengths);
    // Writes what is queued; a failed write or append fails the link.
    bool Write();
    bool Handle(Step step, const redisReply* reply);
    void OnAnchor(const redisReply* reply);
    void OnCheck(const redisReply* reply);
    void OnRead(const redisReply* reply);
    void OnOwnEntry(const COrigin& origin);
    void ReadFromStart(long long entriesBefore);
    void Answered();
    void Overdue(std::uint32_t now);
    // The connection failed (hiredis's reason, or the link's own).
    void Lost(const std::string& why);
    // Prints "Redis " + reason unless shown since the link was last up.
    void Tell(const std::string& reason);
    // The link is given up: after Redis's error reply when one is given.
    void Fail(const std::string& redisError);
    void ReportDrops();
    // An entry that is no message: read past, never relayed, and told on
    // the console at most once per kSkipReportMs (the rest counted).
    void Skip(const redisReply* id, const char* why);
    void ReportSkips(std::uint32_t now);

    CRoomDelivery& delivery_;
    std::unique_ptr<CRedisChannel> channel_;
    std::string host_;  // the primary's, from the Sentinels when they are used
    CHostLookup lookup_;
    std::vector<CRedisAddress> sentinels_;
    std::string master_;
    std::size_t sentinelAt_ = 0;     // the one to ask next
    std::size_t sentinelTries_ = 0;  // asked in this round without an answer
    bool primaryKnown_ = false;      // host_ is what a Sentinel said last
    // With Sentinel: the read of the batch in flight, delivered once WAIT
    // says a replica holds what it returned; adds answered but not yet
    // known to be on a replica (the oldest held).
    redisReply* pendingRead_ = nullptr;
    std::size_t answeredAdds_ = 0;
    bool replicaMissing_ = false;
    std::uint32_t replicaMissingSince_ = 0;
    bool withoutReplica_ = false;  // delivering without a replica, said once
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
    int port_;
    std::string key_;
    std::string password_;
    std::string tag_;  // marks this instance's entries

    State state_ = State::kWaiting;
    struct Pending {
        Step step;
        std::size_t bytes;  // the command's size on the wire
    };
    std::deque<Pending> steps_;
    std::uint32_t sentAt_ = 0;  // the batch in flight went out, or was last heard of
    std::uint32_t retryAt_ = 0;
    std::uint32_t lastReadAt_ = 0;
    int retryMs_ = kFirstRetryMs;

    // Where reading stands: the last entry seen and how many entries the
    // stream had taken in up to it (its place in the stream's lifetime).
    bool anchored_ = false;
    CStreamId lastId_;
    long long seen_ = 0;
    bool checkDue_ = false;
    bool discardRead_ = false;
    int readCount_ = kReadCount;  // fewer after a reply that reached its bound
    bool catchingUp_ = false;

    std::deque<Held> held_;
    std::size_t heldBytes_ = 0;
    std::size_t sentAdds_ = 0;
    std::uint64_t nextSeq_ = 0;
    unsigned long long dropped_ = 0;

    bool downReported_ = false;
    bool slowReported_ = false;
    bool dropReported_ = false;
    std::vector<std::string> shownReasons_;  // reasons shown since last connected
    bool appendFailed_ = false;

    bool skipLineShown_ = false;
    std::uint32_t skipLineAt_ = 0;
    unsigned long long skippedQuietly_ = 0;
    bool stopping_ = false;
};
