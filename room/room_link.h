#pragma once

#include <algorithm>
#include <cstddef>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "room/host_lookup.h"
#include "room/primary_finder.h"
#include "room/redis_channel.h"
#include "room/redis_command.h"
#include "room/room_delivery.h"
#include "room/room_entry.h"
#include "room/room_outbox.h"
#include "room/stream_cursor.h"

// Bounds of the link; docs/cluster.md says why each figure is what it is.
constexpr int kStreamMaxLength = 10000;  // XADD MAXLEN ~: entries Redis keeps, or the window
constexpr int kMaxAddsPerBatch = 500;
constexpr std::size_t kMaxAddBytesPerBatch = 4u << 20;
constexpr int kSlowReplyMs = 2000;   // "Redis not answering"
constexpr int kLostReplyMs = 10000;  // the connection is given up
constexpr int kHandshakeMs = 5000;   // a new connection must answer by then
constexpr int kFirstRetryMs = 250;   // backoff, doubling up to the primary finder's maximum
constexpr int kStopMs = 2000;        // a stop waits this long for Redis's answers
constexpr int kStopPassMs = 20;      // the pace of that wait

// This instance's end of a room kept in one Redis stream. Ordinary messages
// of local clients are handed to Publish and appended to the stream (XADD,
// once each); the stream is read on from the last entry seen (XREAD) and
// every entry is handed to the delivery in stream order, so every
// instance delivers the same messages in the same order and keeps the same
// history. A local client's message reaches it only on its way back.
//
// Driven from the pass, on the pass clock its owner hands it (ms), never
// waiting: BeforeClients takes the replies that arrived, AfterClients sends
// the next batch of commands once the previous one is answered, so at most
// one round trip is in flight. While Redis is away, messages are held in
// order (CRoomOutbox) and sent when it is back; the link retries with
// backoff, finds the primary again (CPrimaryFinder) and reads on from the
// last entry seen (CStreamCursor). Each change of state is one console line.
class CRoomLink {
  public:
    CRoomLink(CRoomDelivery& delivery, std::unique_ptr<CRedisChannel> channel, std::string host,
              int port, std::string key, std::string password);
    CRoomLink(const CRoomLink&) = delete;
    CRoomLink& operator=(const CRoomLink&) = delete;

    // Takes ownership of a NUL-terminated heap buffer.
    void Publish(char* message) { outbox_.Hold(message); }
    void BeforeClients(long long now);
    void AfterClients(long long now);
    // Before a pass's BeforeClients: the process stood still for longer
    // than the pass clock moved (its step was cut to its bound), so entries
    // may have been trimmed meanwhile, and a read in flight may have gone
    // out across the stall: it is made again once a check has counted them.
    void Stalled() { cursor_.Stalled(ReadQueued()); }
    // At a stop, instead of the pass, every kStopPassMs: sends everything
    // held and waits for Redis to confirm it, for kStopMs from the first
    // call at most, delivering nothing more; then tells how many messages
    // were not confirmed or not sent, and returns false.
    bool StopPass(long long now);
    // Finds the primary through these Sentinels (asked in turn) under the
    // name `master`, before every connection, instead of the address given
    // at construction; entries are then delivered only once a replica holds
    // them (WAIT), and messages are kept until a replica has them.
    void UseSentinels(std::vector<CRedisAddress> sentinels, std::string master) {
        primary_.UseSentinels(std::move(sentinels), std::move(master));
    }
    // Clients may resume from the last `window` relayed messages (0: none):
    // the stream keeps at least that many, and the first connection reads
    // that many of its last entries before anything else is delivered.
    void UseWindow(std::size_t window) {
        window_ = window;
        cursor_.UseWindow(window);
    }
    // How host names are looked up (tests); by default through the platform.
    void LookUpWith(CHostLookup::Resolve resolve) { lookup_ = CHostLookup(std::move(resolve)); }

    // Figures for the metrics, counted where each event happens.
    struct Counts {
        unsigned long long entriesRead = 0;  // entries taken from the stream
        unsigned long long missed = 0;       // trimmed before this instance read them
        unsigned long long dropped = 0;      // local messages dropped, holding full
        unsigned long long connects = 0;     // connections begun
    };
    Counts Totals() const {
        return {cursor_.EntriesRead(), cursor_.Missed(), outbox_.Dropped(), connects_};
    }
    bool Up() const { return state_ == State::kUp; }
    std::size_t HeldMessages() const { return outbox_.Count(); }

  private:
    // kAsking: connected to a Sentinel, asking where the primary is.
    enum class State { kWaiting, kAsking, kHandshake, kUp };
    // What each reply still expected answers.
    enum class Step { kPlain, kAnchor, kAnchorPage, kCheck, kAdd, kRead, kSentinel, kRole, kWait };

    // Connects, by address at once, or once a host name's look-up is done.
    void Reach();
    void Connect(const std::string& address);
    void Ask(const std::string& address);
    // Asks for the anchor's next page while one is due; false once the link
    // failed.
    bool NextAnchorPage();
    void SendBatch();
    // The stream's MAXLEN ~: never fewer than the window.
    unsigned long long StreamLength() const {
        return std::max<unsigned long long>(kStreamMaxLength, window_);
    }
    void AppendAdds(std::size_t maxCount, std::size_t maxBytes);
    void ReportAtStop();
    // Queues a command whose reply answers `step`; false once one could not
    // be queued (and no later one is).
    bool Command(Step step, CRedisCommand& command);
    bool ReadQueued() const;
    // Writes what is queued; a failed write or append fails the link.
    bool Write();
    bool Handle(Step step, const redisReply* reply);
    bool OnSentinel(const redisReply* reply);
    void OnWait(const redisReply* reply);
    void Answered();
    void Overdue();
    // The connection failed (hiredis's reason, or the link's own).
    void Lost(const std::string& why);
    // Prints "Redis " + reason unless shown since the link was last up.
    void Tell(const std::string& reason);
    // The link is given up: after Redis's error reply when one is given.
    void Fail(const std::string& redisError);

    std::unique_ptr<CRedisChannel> channel_;
    CHostLookup lookup_;
    CPrimaryFinder primary_;
    CRoomOutbox outbox_;
    CStreamCursor cursor_;
    CRoomEntry entry_;  // the entry of the add being queued
    std::string key_;
    std::string password_;
    std::size_t window_ = 0;

    long long now_ = 0;  // the pass clock, as last handed
    State state_ = State::kWaiting;
    struct Pending {
        Step step;
        std::size_t bytes;  // the command's size on the wire
    };
    std::deque<Pending> steps_;
    long long sentAt_ = 0;  // the batch in flight went out, or was last heard of
    long long retryAt_ = std::numeric_limits<long long>::min();  // the first attempt: at once
    int retryMs_ = kFirstRetryMs;
    unsigned long long connects_ = 0;

    bool downReported_ = false;
    bool slowReported_ = false;
    std::vector<std::string> shownReasons_;  // reasons shown since last connected
    bool appendFailed_ = false;
    bool stopping_ = false;
    long long stopStart_ = 0;
};
