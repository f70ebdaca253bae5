#pragma once

#include <hiredis/hiredis.h>

#include <cstddef>
#include <string>
#include <vector>

#include "room/redis_command.h"

constexpr int kMaxRetryMs = 5000;          // the link's backoff tops out here
constexpr int kMaxSentinelRetryMs = 1000;  // the same, when Sentinels are asked
constexpr int kReplicaWaitMs = 100;        // WAIT's bound, with Sentinel
constexpr int kNoReplicaMs = 2000;         // no replica this long: deliver without one

// One Redis server (or Sentinel) to reach.
struct CRedisAddress {
    std::string host;
    int port = 0;
};

// Where the link finds the room's primary: at the address it was given, or,
// with Sentinels, where one of them (asked in turn, each attempt) says the
// primary under a name is. With Sentinels the server reached must say it is
// the primary (ROLE), and what a batch wrote and read counts once a replica
// holds it (WAIT); with no replica in sync for kNoReplicaMs, or none at all,
// the room goes on without one, which the console is told once.
class CPrimaryFinder {
  public:
    CPrimaryFinder(std::string host, int port) : host_(std::move(host)), port_(port) {}

    void UseSentinels(std::vector<CRedisAddress> sentinels, std::string master);
    bool WithSentinels() const { return !sentinels_.empty(); }
    // Whether the next attempt asks a Sentinel (Asked) rather than connects
    // to the primary (Host, Port).
    bool Asking() const { return WithSentinels() && !primaryKnown_; }
    const CRedisAddress& Asked() const { return sentinels_[sentinelAt_]; }
    const std::string& Host() const { return host_; }
    int Port() const { return port_; }
    int MaxRetryMs() const { return WithSentinels() ? kMaxSentinelRetryMs : kMaxRetryMs; }

    // The question for the Sentinel asked, and its answer: true with the
    // primary known (told when it moved); false with *why otherwise.
    void WriteAsk(CRedisCommand& command) const;
    bool OnSentinel(const redisReply* reply, std::string* why);
    // ROLE's answer: false when the server is not the primary.
    bool OnRole(const redisReply* reply);
    // A batch's WAIT and its answer at `now`: true when what the batch read
    // may be delivered and its adds let go.
    void WriteWait(CRedisCommand& command) const;
    bool OnWait(const redisReply* reply, long long now);
    // The failover step after a failed attempt (one asking a Sentinel when
    // `wasAsking`): true when the next Sentinel is to be asked at once;
    // false when the round is over and the retry waits its backoff.
    bool NextAfterFailure(bool wasAsking);

  private:
    void GoOnWithoutReplica();

    std::string host_;  // the primary's, from the Sentinels when they are used
    int port_;
    std::vector<CRedisAddress> sentinels_;
    std::string master_;
    std::size_t sentinelAt_ = 0;     // the one to ask next
    std::size_t sentinelTries_ = 0;  // asked in this round without an answer
    bool primaryKnown_ = false;      // host_ is what a Sentinel said last
    bool replicaMissing_ = false;
    long long replicaMissingSince_ = 0;
    bool withoutReplica_ = false;  // delivering without a replica, said once
};
