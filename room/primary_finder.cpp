#include "room/primary_finder.h"

#include <cstdlib>

#include "console/console.h"
#include "room/redis_reply.h"

void CPrimaryFinder::UseSentinels(std::vector<CRedisAddress> sentinels, std::string master) {
    sentinels_ = std::move(sentinels);
    master_ = std::move(master);
    primaryKnown_ = false;
}

void CPrimaryFinder::WriteAsk(CRedisCommand& command) const {
    command.Word("SENTINEL").Word("get-master-addr-by-name").Word(master_);
}

bool CPrimaryFinder::OnSentinel(const redisReply* r, std::string* why) {
    long port = 0;
    if (reply::IsArray(r, 2) && reply::IsText(r->element[0]) && reply::IsText(r->element[1])) {
        std::string portText(r->element[1]->str, r->element[1]->len);
        char* end = nullptr;
        port = std::strtol(portText.c_str(), &end, 10);
        if (end == portText.c_str() || *end != '\0') {
            port = 0;
        }
    }
    if (port < 1 || port > 65535 || r->element[0]->len == 0 || r->element[0]->len > 255) {
        *why = "Sentinel knows no primary " + master_;
        return false;
    }
    std::string host(r->element[0]->str, r->element[0]->len);
    if (host != host_ || port != port_) {
        ConsolePrint("Redis primary at %s:%ld\n", host.c_str(), port);
    }
    host_ = host;
    port_ = static_cast<int>(port);
    primaryKnown_ = true;
    sentinelTries_ = 0;
    return true;
}

bool CPrimaryFinder::OnRole(const redisReply* r) {
    if (!reply::IsArray(r, 1) || !reply::Equals(r->element[0], "master")) {
        return false;
    }
    // A primary without any replica (just after a failover) cannot have one
    // confirm: waiting for it would only hold the room up.
    if (reply::IsArray(r, 3) && reply::IsArray(r->element[2]) && r->element[2]->elements == 0) {
        GoOnWithoutReplica();
    }
    return true;
}

void CPrimaryFinder::WriteWait(CRedisCommand& command) const {
    command.Word("WAIT").Word("1").Number(kReplicaWaitMs);
}

bool CPrimaryFinder::OnWait(const redisReply* r, long long now) {
    long long replicas = 0;
    reply::Integer(r, &replicas);
    if (replicas >= 1) {
        replicaMissing_ = false;
        if (withoutReplica_) {
            ConsolePrint("Redis replica in sync\n");
            withoutReplica_ = false;
        }
        return true;
    }
    if (!replicaMissing_) {
        replicaMissing_ = true;
        replicaMissingSince_ = now;
    }
    if (now - replicaMissingSince_ >= kNoReplicaMs) {
        GoOnWithoutReplica();
    }
    return withoutReplica_;
}

void CPrimaryFinder::GoOnWithoutReplica() {
    if (!withoutReplica_) {
        ConsolePrint("Redis replica not in sync, delivering without one\n");
        withoutReplica_ = true;
    }
}

bool CPrimaryFinder::NextAfterFailure(bool wasAsking) {
    if (!WithSentinels()) {
        return false;
    }
    sentinelAt_ = (sentinelAt_ + 1) % sentinels_.size();
    // The next Sentinel is asked at once; the backoff is per round.
    if (wasAsking && ++sentinelTries_ < sentinels_.size()) {
        return true;
    }
    sentinelTries_ = 0;
    primaryKnown_ = false;  // the primary may have changed: ask again
    return false;
}
