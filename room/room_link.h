#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

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
constexpr int kStallMs = 1000;  // reads this far apart may have let entries be trimmed

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
    enum class State { kWaiting, kHandshake, kUp };
    // What each reply still expected answers.
    enum class Step { kPlain, kAnchor, kCheck, kAdd, kRead };
    struct Held {
        char* text;
        std::size_t length;
        std::uint64_t seq;
        bool uncertain;  // sent, but the link broke before the answer
    };

    void Connect(std::uint32_t now);
    void SendBatch(std::uint32_t now);
    void Command(Step step, int argc, const char** argv, const std::size_t* lengths);
    bool Handle(Step step, const redisReply* reply);
    void OnAnchor(const redisReply* reply);
    void OnCheck(const redisReply* reply);
    void OnRead(const redisReply* reply);
    void OnOwnEntry(const redisReply* origin);
    void ReadFromStart(long long entriesBefore);
    void Answered();
    void Overdue(std::uint32_t now);
    void Fail(const std::string& redisError);
    void ReportDrops();

    CRoomDelivery& delivery_;
    std::unique_ptr<CRedisChannel> channel_;
    std::string host_;
    int port_;
    std::string key_;
    std::string password_;
    std::string tag_;  // marks this instance's entries

    State state_ = State::kWaiting;
    std::deque<Step> steps_;
    std::uint32_t sentAt_ = 0;
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
    bool catchingUp_ = false;

    std::deque<Held> held_;
    std::size_t heldBytes_ = 0;
    std::size_t sentAdds_ = 0;
    std::uint64_t nextSeq_ = 0;
    unsigned long long dropped_ = 0;

    bool downReported_ = false;
    bool slowReported_ = false;
    bool dropReported_ = false;
    std::string lastError_;
};
