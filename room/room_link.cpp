#include "room/room_link.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <random>

#include "console/console.h"
#include "platform/platform.h"
#include "room/redis_reply.h"
#include "stream/frame.h"
#include "stream/heap.h"

namespace {

// The newest entries looked at for the history: enough that a few that are
// no message do not leave it short.
const char kHistoryScan[] = "10";

int Since(std::uint32_t then, std::uint32_t now) {
    return static_cast<int>(static_cast<std::int32_t>(now - then));
}

std::string NewTag() {
    std::random_device source;
    char text[24];
    std::snprintf(text, sizeof text, "%08x%08x", source(), source());
    return text;
}

// A heap copy of an entry's text, as a received message would be; null
// without memory (the message is then dropped here, as a local one would be).
char* CopyText(const redisReply* text) {
    char* copy = static_cast<char*>(HeapRealloc(nullptr, text->len + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text->str, text->len);
        copy[text->len] = '\0';
    }
    return copy;
}

bool ParseId(const redisReply* r, CStreamId* id) {
    return reply::IsText(r) && id->Parse(r->str, r->len);
}

// An entry's origin, "TAG:NUMBER": the writer's tag of 1 to kMaxTagLength
// hex digits (an instance draws 16), a colon and a number that fits 64
// bits. False for anything else; *origin is the parsed origin otherwise.
bool ParseOrigin(const redisReply* o, COrigin* origin) {
    if (o == nullptr || o->type != REDIS_REPLY_STRING) {
        return false;
    }
    const char* at = o->str;
    const char* end = o->str + o->len;
    const char* tagEnd = at;
    while (tagEnd < end && tagEnd - at <= static_cast<std::ptrdiff_t>(kMaxTagLength) &&
           std::isxdigit(static_cast<unsigned char>(*tagEnd))) {
        ++tagEnd;
    }
    std::size_t tagLength = static_cast<std::size_t>(tagEnd - at);
    if (tagLength == 0 || tagLength > kMaxTagLength || tagEnd == end || *tagEnd != ':') {
        return false;
    }
    std::uint64_t seq = 0;
    const char* d = tagEnd + 1;
    for (; d < end && *d >= '0' && *d <= '9'; ++d) {
        std::uint64_t digit = static_cast<std::uint64_t>(*d - '0');
        if (seq > (UINT64_MAX - digit) / 10) {
            return false;
        }
        seq = seq * 10 + digit;
    }
    if (d == tagEnd + 1 || d != end) {
        return false;
    }
    if (origin != nullptr) {
        origin->tag.assign(at, tagLength);
        origin->seq = seq;
    }
    return true;
}

// Why an entry's fields are not a message this system could have written
// ("m" TEXT "o" WRITER:NUMBER, a text no longer than a client's frame and
// without a NUL, as a client's message is cut at its first one, and an
// origin ParseOrigin takes); null when they are. *text is the message then.
const char* EntryFault(const redisReply* fields, const redisReply** text) {
    if (!reply::IsArray(fields) || fields->elements != 4) {
        return "not the fields m and o";
    }
    const redisReply* m = reply::Field(fields, "m");
    const redisReply* o = reply::Field(fields, "o");
    long long length = 0;
    if (reply::Integer(m, &length) && length > static_cast<long long>(frame::kMaxPayload)) {
        return "text longer than a frame";  // read past, never held (CReplyFilter)
    }
    if (m == nullptr || o == nullptr || m->type != REDIS_REPLY_STRING ||
        o->type != REDIS_REPLY_STRING) {
        return "not the fields m and o";
    }
    if (m->len > frame::kMaxPayload) {
        return "text longer than a frame";
    }
    if (std::memchr(m->str, '\0', m->len) != nullptr) {
        return "text with a NUL byte";
    }
    if (!ParseOrigin(o, nullptr)) {
        return "malformed origin";
    }
    *text = m;
    return nullptr;
}

// Whether the filter held part of an entry back (a bulk within a frame's
// length that came past the reply's bound): it is to be read again.
bool HeldBack(const redisReply* entry) {
    const redisReply* fields = reply::IsArray(entry, 2) ? entry->element[1] : nullptr;
    for (std::size_t i = 0; reply::IsArray(fields) && i < fields->elements; ++i) {
        long long length = 0;
        if (reply::Integer(fields->element[i], &length) &&
            length <= static_cast<long long>(frame::kMaxPayload)) {
            return true;
        }
    }
    return false;
}

bool NoSuchKey(const redisReply* r) {
    return reply::IsError(r) && std::strstr(r->str, "no such key") != nullptr;
}

}  // namespace

CRoomLink::CRoomLink(CRoomDelivery& delivery, std::unique_ptr<CRedisChannel> channel,
                     std::string host, int port, std::string key, std::string password)
    : delivery_(delivery),
      channel_(std::move(channel)),
      host_(std::move(host)),
      port_(port),
      key_(std::move(key)),
      password_(std::move(password)),
      tag_(NewTag()) {
    retryAt_ = Platform().TickCount();
}

CRoomLink::~CRoomLink() {
    freeReplyObject(pendingRead_);
    for (Held& h : held_) {
        std::free(h.text);
    }
}

void CRoomLink::Publish(char* message) {
    std::size_t length = std::strlen(message);
    if (held_.size() >= kMaxHeldMessages || heldBytes_ + length > kMaxHeldBytes) {
        std::free(message);
        ++dropped_;
        ++counts.dropped;
        if (!dropReported_) {
            ConsolePrint("Holding full, dropping messages\n");
            dropReported_ = true;
        }
        return;
    }
    held_.push_back({message, length, nextSeq_++, false});
    heldBytes_ += length;
}

void CRoomLink::BeforeClients() {
    if (state_ == State::kWaiting) {
        return;
    }
    std::uint32_t now = Platform().TickCount();
    ReportSkips(now);
    if (!channel_->Exchange()) {
        Lost(channel_->Error());
        return;
    }
    if (channel_->Heard()) {
        sentAt_ = now;  // a long answer that is still coming is not a silence
    }
    while (!steps_.empty()) {
        redisReply* r = channel_->NextReply();
        if (r == nullptr) {
            break;
        }
        Step step = steps_.front().step;
        steps_.pop_front();
        if (step == Step::kRead && !sentinels_.empty() && !reply::IsError(r)) {
            // Delivered once WAIT, later in this batch, says a replica has it.
            freeReplyObject(pendingRead_);
            pendingRead_ = r;
            continue;
        }
        bool ok = Handle(step, r);
        freeReplyObject(r);
        if (!ok) {
            return;
        }
    }
    if (steps_.empty()) {
        Answered();
    } else {
        Overdue(now);
    }
}

void CRoomLink::AfterClients() {
    std::uint32_t now = Platform().TickCount();
    if (state_ == State::kWaiting) {
        if (Since(retryAt_, now) >= 0) {
            Reach(now);
        }
        return;
    }
    if (state_ == State::kUp && steps_.empty()) {
        SendBatch(now);
    }
}

bool CRoomLink::Command(Step step, int argc, const char** argv, const std::size_t* lengths) {
    // A command hiredis could not take would leave the replies out of step
    // with the steps: nothing more is queued, and the write fails the link.
    if (appendFailed_ || !channel_->Append(argc, argv, lengths)) {
        appendFailed_ = true;
        return false;
    }
    // Its size on the wire (RESP), to tell at a stop what was written.
    std::size_t bytes = 0;
    for (int i = 0; i < argc; ++i) {
        bytes += std::to_string(lengths[i]).size() + lengths[i] + 5;  // $N\r\n...\r\n
    }
    bytes += std::to_string(argc).size() + 3;  // *N\r\n
    steps_.push_back({step, bytes});
    return true;
}

bool CRoomLink::Write() {
    if (appendFailed_ || !channel_->Exchange()) {
        Lost(channel_->Error());
        return false;
    }
    return true;
}

void CRoomLink::UseSentinels(std::vector<CRedisAddress> sentinels, std::string master) {
    sentinels_ = std::move(sentinels);
    master_ = std::move(master);
    primaryKnown_ = false;
}

void CRoomLink::Reach(std::uint32_t now) {
    // With Sentinels, each attempt first asks one where the primary is.
    bool asking = !sentinels_.empty() && !primaryKnown_;
    const std::string& host = asking ? sentinels_[sentinelAt_].host : host_;
    std::string address = host;
    if (!IsNumericHost(host)) {
        // A host name is looked up anew before every attempt, off the pass.
        lookup_.Start(host);
        switch (lookup_.Take(&address)) {
            case CHostLookup::Answer::kNone:
            case CHostLookup::Answer::kPending:
                return;
            case CHostLookup::Answer::kFailed:
                if (asking) {
                    state_ = State::kAsking;  // so the next Sentinel is tried
                }
                Lost("cannot look up " + host + ": " + address);
                return;
            case CHostLookup::Answer::kAddress:
                break;
        }
    }
    if (asking) {
        Ask(now, address);
    } else {
        Connect(now, address);
    }
}

void CRoomLink::Ask(std::uint32_t now, const std::string& address) {
    state_ = State::kAsking;
    if (!channel_->Open(address, sentinels_[sentinelAt_].port)) {
        Lost(channel_->Error());
        return;
    }
    sentAt_ = now;
    const char* argv[] = {"SENTINEL", "get-master-addr-by-name", master_.c_str()};
    std::size_t lengths[] = {8, 23, master_.size()};
    Command(Step::kSentinel, 3, argv, lengths);
    Write();
}

bool CRoomLink::OnSentinel(const redisReply* r) {
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
        Lost("Sentinel knows no primary " + master_);
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
    // On to the primary at once, on a connection of its own.
    channel_->Close();
    steps_.clear();
    state_ = State::kWaiting;
    retryAt_ = Platform().TickCount();
    return false;
}

bool CRoomLink::OnRole(const redisReply* r) {
    if (reply::IsArray(r, 1) && reply::Equals(r->element[0], "master")) {
        // A primary without any replica (just after a failover) cannot
        // have one confirm: waiting for it would only hold the room up.
        if (reply::IsArray(r, 3) && reply::IsArray(r->element[2]) && r->element[2]->elements == 0 &&
            !withoutReplica_) {
            ConsolePrint("Redis replica not in sync, delivering without one\n");
            withoutReplica_ = true;
        }
        return true;
    }
    Lost("not the primary");  // the Sentinel's answer is already old
    return false;
}

void CRoomLink::OnWait(const redisReply* r) {
    long long replicas = 0;
    reply::Integer(r, &replicas);
    std::uint32_t now = Platform().TickCount();
    if (replicas >= 1) {
        replicaMissing_ = false;
        if (withoutReplica_) {
            ConsolePrint("Redis replica in sync\n");
            withoutReplica_ = false;
        }
    } else {
        if (!replicaMissing_) {
            replicaMissing_ = true;
            replicaMissingSince_ = now;
        }
        if (!withoutReplica_ && Since(replicaMissingSince_, now) >= kNoReplicaMs) {
            ConsolePrint("Redis replica not in sync, delivering without one\n");
            withoutReplica_ = true;
        }
    }
    if (replicas < 1 && !withoutReplica_) {
        // Not yet on a replica: read again from the same place next time;
        // the messages stay held.
        freeReplyObject(pendingRead_);
        pendingRead_ = nullptr;
        discardRead_ = false;  // a read to be discarded is gone already
        return;
    }
    for (; answeredAdds_ > 0; --answeredAdds_) {
        heldBytes_ -= held_.front().length;
        std::free(held_.front().text);
        held_.pop_front();
        --sentAdds_;
    }
    if (pendingRead_ != nullptr) {
        redisReply* read = pendingRead_;
        pendingRead_ = nullptr;
        OnRead(read);
        freeReplyObject(read);
    }
}

bool CRoomLink::FarAhead(const COrigin& origin) const {
    if (origin.tag == tag_) {
        return origin.seq >= nextSeq_;
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

bool CRoomLink::FirstDelivery(const COrigin& origin) {
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

void CRoomLink::Connect(std::uint32_t now, const std::string& address) {
    ++counts.connects;
    if (!channel_->Open(address, port_)) {
        Lost(channel_->Error());
        return;
    }
    state_ = State::kHandshake;
    sentAt_ = lastReadAt_ = now;  // the handshake looks where the stream stands
    auto plain = [this](Step step, std::initializer_list<const char*> words) {
        const char* argv[8];
        std::size_t lengths[8];
        int argc = 0;
        for (const char* word : words) {
            argv[argc] = word;
            lengths[argc++] = std::strlen(word);
        }
        Command(step, argc, argv, lengths);
    };
    if (!password_.empty()) {
        plain(Step::kPlain, {"AUTH", password_.c_str()});
    }
    if (!sentinels_.empty()) {
        plain(Step::kRole, {"ROLE"});
    }
    if (!anchored_) {
        // Where the stream stands and its last three, taken together.
        plain(Step::kPlain, {"MULTI"});
        plain(Step::kPlain, {"XINFO", "STREAM", key_.c_str()});
        plain(Step::kPlain, {"XREVRANGE", key_.c_str(), "+", "-", "COUNT", kHistoryScan});
        plain(Step::kAnchor, {"EXEC"});
    } else {
        plain(Step::kCheck, {"XINFO", "STREAM", key_.c_str()});
    }
    Write();
}

void CRoomLink::SendBatch(std::uint32_t now) {
    // Reads this far apart (a stalled process, a slow Redis) may have let
    // entries be trimmed in between: look where the stream stands first.
    if (checkDue_ || Since(lastReadAt_, now) > kStallMs) {
        const char* argv[] = {"XINFO", "STREAM", key_.c_str()};
        std::size_t lengths[] = {5, 6, key_.size()};
        Command(Step::kCheck, 3, argv, lengths);
        checkDue_ = false;
    }
    // After a broken link, what may already be in the stream waits until
    // the reading has caught up and shown which of it is.
    bool replicated = !sentinels_.empty();
    if (!catchingUp_ && !replicated) {
        AppendAdds(static_cast<std::size_t>(kMaxAddsPerBatch), kMaxAddBytesPerBatch);
    }
    char count[16];
    int countSize = std::snprintf(count, sizeof count, "%d", readCount_);
    std::string from = lastId_.ToString();
    const char* argv[] = {"XREAD", "COUNT", count, "STREAMS", key_.c_str(), from.c_str()};
    std::size_t lengths[] = {5, 5,           static_cast<std::size_t>(countSize),
                             7, key_.size(), from.size()};
    Command(Step::kRead, 6, argv, lengths);
    if (replicated) {
        // The adds come after the read and WAIT after both: once a replica
        // has everything up to here, what the read returned is delivered
        // and the adds are let go. Without an add, a PUBLISH is the write
        // whose place WAIT waits for.
        std::size_t before = sentAdds_;
        if (!catchingUp_) {
            AppendAdds(static_cast<std::size_t>(kMaxAddsPerBatch), kMaxAddBytesPerBatch);
        }
        if (sentAdds_ == before) {
            std::string channel = key_ + ":sync";
            const char* publish[] = {"PUBLISH", channel.c_str(), tag_.c_str()};
            std::size_t publishLengths[] = {7, channel.size(), tag_.size()};
            Command(Step::kPlain, 3, publish, publishLengths);
        }
        char waitMs[16];
        int waitMsSize = std::snprintf(waitMs, sizeof waitMs, "%d", kReplicaWaitMs);
        const char* wait[] = {"WAIT", "1", waitMs};
        std::size_t waitLengths[] = {4, 1, static_cast<std::size_t>(waitMsSize)};
        Command(Step::kWait, 3, wait, waitLengths);
    }
    sentAt_ = lastReadAt_ = now;
    Write();
}

void CRoomLink::AppendAdds(std::size_t maxCount, std::size_t maxBytes) {
    char maxLength[16];
    int maxLengthSize = std::snprintf(maxLength, sizeof maxLength, "%d", kStreamMaxLength);
    std::size_t bytes = 0;
    for (std::size_t added = 0; sentAdds_ < held_.size() && added < maxCount && bytes < maxBytes;
         ++added) {
        const Held& h = held_[sentAdds_];
        char origin[48];
        int originSize = std::snprintf(origin, sizeof origin, "%s:%llu", tag_.c_str(),
                                       static_cast<unsigned long long>(h.seq));
        const char* argv[] = {"XADD", key_.c_str(), "MAXLEN", "~", maxLength,
                              "*",    "m",          h.text,   "o", origin};
        std::size_t lengths[] = {
            4, key_.size(), 6,        1, static_cast<std::size_t>(maxLengthSize),
            1, 1,           h.length, 1, static_cast<std::size_t>(originSize)};
        if (!Command(Step::kAdd, 10, argv, lengths)) {
            break;
        }
        bytes += h.length;
        ++sentAdds_;
    }
}

void CRoomLink::Stop() {
    stopping_ = true;
    CPlatform& platform = Platform();
    std::uint32_t start = platform.TickCount();
    if (state_ == State::kWaiting) {
        retryAt_ = start;  // one more attempt now, not after the backoff
    }
    while (!held_.empty()) {
        std::uint32_t now = platform.TickCount();
        if (Since(start, now) >= kStopMs) {
            break;
        }
        BeforeClients();
        if (held_.empty()) {
            break;
        }
        if (state_ == State::kUp && !steps_.empty()) {
            // No waiting for the batch in flight: everything held goes out
            // behind it, and the answers come in order.
            if (!catchingUp_ && sentAdds_ < held_.size()) {
                AppendAdds(held_.size(), SIZE_MAX);
                Write();
            }
        } else {
            AfterClients();
        }
        platform.SleepMs(kStopPassMs);
    }
    ReportAtStop();
}

void CRoomLink::ReportAtStop() {
    if (held_.empty()) {
        return;
    }
    // Sent, but not answered: on an earlier connection (uncertain), or on
    // this one, where the tail of what was queued may not be written yet.
    std::size_t unanswered = 0;
    for (const Held& h : held_) {
        unanswered += h.uncertain ? 1 : 0;
    }
    if (state_ != State::kWaiting) {
        std::size_t unwritten = channel_->Unwritten();
        std::size_t unwrittenAdds = 0;
        for (auto p = steps_.rbegin(); p != steps_.rend() && unwritten > 0; ++p) {
            unwrittenAdds += p->step == Step::kAdd ? 1 : 0;
            unwritten -= std::min(unwritten, p->bytes);
        }
        unanswered += sentAdds_ - std::min(sentAdds_, unwrittenAdds);
    }
    std::size_t unsent = held_.size() - unanswered;
    if (unanswered > 0) {
        ConsolePrint("%zu messages sent to Redis before stopping were not confirmed\n", unanswered);
    }
    if (unsent > 0) {
        ConsolePrint("Could not send %zu messages to Redis before stopping\n", unsent);
    }
}

bool CRoomLink::Handle(Step step, const redisReply* r) {
    if (reply::IsError(r) && !(step == Step::kCheck && NoSuchKey(r))) {
        Fail(std::string(r->str, r->len));
        return false;
    }
    switch (step) {
        case Step::kPlain:
            return true;
        case Step::kAnchor:
            if (!reply::IsArray(r, 2) ||
                (reply::IsError(r->element[0]) && !NoSuchKey(r->element[0]))) {
                Fail(reply::IsArray(r, 1) && reply::IsError(r->element[0])
                         ? std::string(r->element[0]->str, r->element[0]->len)
                         : "EXEC did not run");
                return false;
            }
            OnAnchor(r);
            return true;
        case Step::kCheck:
            OnCheck(r);
            return true;
        case Step::kSentinel:
            return OnSentinel(r);
        case Step::kRole:
            return OnRole(r);
        case Step::kWait:
            OnWait(r);
            return true;
        case Step::kAdd: {
            if (!sentinels_.empty()) {
                ++answeredAdds_;  // kept until a replica has it (OnWait)
                return true;
            }
            Held& h = held_.front();
            heldBytes_ -= h.length;
            std::free(h.text);
            held_.pop_front();
            --sentAdds_;
            return true;
        }
        case Step::kRead:
            OnRead(r);
            return true;
    }
    return true;
}

void CRoomLink::OnAnchor(const redisReply* r) {
    const redisReply* info = r->element[0];
    const redisReply* last = r->element[1];
    seen_ = 0;
    lastId_ = CStreamId();
    if (!NoSuchKey(info)) {
        reply::Integer(reply::Field(info, "entries-added"), &seen_);
        ParseId(reply::Field(info, "last-generated-id"), &lastId_);
    }
    // The room's last three messages become the history, oldest first;
    // entries that are no message are passed over.
    char* history[3];
    std::size_t kept = 0;
    std::size_t count = reply::IsArray(last) ? last->elements : 0;
    for (std::size_t i = 0; i < count && kept < 3; ++i) {
        const redisReply* entry = last->element[i];
        const redisReply* text = nullptr;
        const char* fault =
            reply::IsArray(entry, 2) ? EntryFault(entry->element[1], &text) : "not an entry";
        if (fault != nullptr) {
            Skip(reply::IsArray(entry, 1) ? entry->element[0] : nullptr, fault);
            continue;
        }
        char* copy = CopyText(text);
        if (copy != nullptr) {
            history[kept++] = copy;
        }
    }
    std::reverse(history, history + kept);
    delivery_.ReplaceHistory(history, kept);
    anchored_ = true;
}

void CRoomLink::OnCheck(const redisReply* r) {
    if (NoSuchKey(r)) {
        if (seen_ > 0 || !lastId_.IsZero()) {
            ConsolePrint("Room stream reset in Redis\n");
            ReadFromStart(0);
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
        ReadFromStart(removed);
        if (removed > 0) {
            ConsolePrint("Missed %lld messages\n", removed);
            counts.missed += static_cast<unsigned long long>(removed);
        }
    } else if (removed > seen_) {
        ConsolePrint("Missed %lld messages\n", removed - seen_);
        counts.missed += static_cast<unsigned long long>(removed - seen_);
        seen_ = removed;
    }
}

void CRoomLink::ReadFromStart(long long entriesBefore) {
    lastId_ = CStreamId();
    seen_ = entriesBefore;
    ++counting_;  // places in the new stream say nothing of the old one's
    delivery_.ReplaceHistory(nullptr, 0);
    // A read already sent in this batch went from the old place.
    discardRead_ = std::find_if(steps_.begin(), steps_.end(), [](const Pending& p) {
                       return p.step == Step::kRead;
                   }) != steps_.end();
}

void CRoomLink::OnRead(const redisReply* r) {
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
        if (i > 0 && HeldBack(entry)) {
            heldBack = true;
            readCount_ = static_cast<int>(i);
            break;
        }
        CStreamId id;
        if (!reply::IsArray(entry, 2) || !ParseId(entry->element[0], &id)) {
            Skip(reply::IsArray(entry, 1) ? entry->element[0] : nullptr, "not an entry");
            continue;
        }
        if (!(lastId_ < id)) {
            continue;
        }
        lastId_ = id;
        ++seen_;
        ++counts.entriesRead;
        const redisReply* text = nullptr;
        const char* fault = EntryFault(entry->element[1], &text);
        if (fault != nullptr) {
            Skip(entry->element[0], fault);  // read past, never relayed
            continue;
        }
        COrigin origin;
        ParseOrigin(reply::Field(entry->element[1], "o"), &origin);
        if (FarAhead(origin)) {
            Skip(entry->element[0], "number far ahead of its writer");
            continue;
        }
        if (catchingUp_) {
            OnOwnEntry(origin);
        }
        if (!FirstDelivery(origin)) {
            ++duplicates;  // written twice (sent again after a failover)
            continue;
        }
        char* copy = CopyText(text);
        if (copy != nullptr && !stopping_) {
            delivery_.Deliver(copy);
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
    } else if (catchingUp_) {
        // Read to the end: what was not found was never written; send it again.
        catchingUp_ = false;
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
}

void CRoomLink::OnOwnEntry(const COrigin& origin) {
    if (origin.tag != tag_) {
        return;
    }
    // Written before the link broke: not to be sent again.
    while (!held_.empty() && held_.front().uncertain && held_.front().seq <= origin.seq) {
        heldBytes_ -= held_.front().length;
        std::free(held_.front().text);
        held_.pop_front();
    }
}

void CRoomLink::Answered() {
    if (state_ == State::kHandshake) {
        state_ = State::kUp;
        ConsolePrint("Redis connected\n");
        downReported_ = false;
        shownReasons_.clear();
        retryMs_ = kFirstRetryMs;
    }
    if (slowReported_) {
        ConsolePrint("Redis answering\n");
        slowReported_ = false;
    }
    ReportDrops();
}

void CRoomLink::Overdue(std::uint32_t now) {
    int waited = Since(sentAt_, now);
    if (state_ == State::kHandshake || state_ == State::kAsking) {
        if (waited > kHandshakeMs) {
            Lost("no answer within 5 s");
        }
        return;
    }
    if (waited > kLostReplyMs) {
        Lost("no answer for 10 s");
    } else if (waited > kSlowReplyMs && !slowReported_) {
        ConsolePrint("Redis not answering\n");
        slowReported_ = true;
    }
}

void CRoomLink::Tell(const std::string& reason) {
    // Each reason once until connected again, however often the attempts
    // (or the Sentinels asked in turn) fail for it.
    if (std::find(shownReasons_.begin(), shownReasons_.end(), reason) != shownReasons_.end()) {
        return;
    }
    ConsolePrint("Redis %.200s\n", reason.c_str());
    if (shownReasons_.size() < 16) {
        shownReasons_.push_back(reason);
    }
}

void CRoomLink::Lost(const std::string& why) {
    // hiredis's words for a failed connection (refused, reset, no route ...)
    // or the link's own; shown when they change, not at every attempt.
    std::string reason = "connection: ";
    if (state_ == State::kAsking) {
        const CRedisAddress& asked = sentinels_[sentinelAt_];
        reason += "Sentinel " + asked.host + ":" + std::to_string(asked.port) + ": ";
    }
    reason += why.empty() ? std::string("failed") : why;
    Tell(reason);
    Fail("");
}

void CRoomLink::Fail(const std::string& redisError) {
    bool wasUp = state_ == State::kUp;
    bool wasAsking = state_ == State::kAsking;
    freeReplyObject(pendingRead_);
    pendingRead_ = nullptr;
    answeredAdds_ = 0;  // kept held: marked uncertain below with the rest
    channel_->Close();
    state_ = State::kWaiting;
    steps_.clear();
    appendFailed_ = false;
    discardRead_ = false;
    for (std::size_t i = 0; i < sentAdds_; ++i) {
        held_[i].uncertain = true;
    }
    sentAdds_ = 0;
    catchingUp_ = !held_.empty() && held_.front().uncertain;
    if (!redisError.empty()) {
        Tell("error: " + redisError);
    }
    if (!downReported_) {
        ConsolePrint("%s\n", wasUp ? "Redis lost, retrying" : "Redis unreachable, retrying");
        downReported_ = true;
    }
    slowReported_ = false;
    if (wasAsking && ++sentinelTries_ < sentinels_.size()) {
        // The next Sentinel is asked at once; the backoff is per round.
        sentinelAt_ = (sentinelAt_ + 1) % sentinels_.size();
        retryAt_ = Platform().TickCount();
        return;
    }
    if (!sentinels_.empty()) {
        sentinelAt_ = (sentinelAt_ + 1) % sentinels_.size();
        sentinelTries_ = 0;
        primaryKnown_ = false;  // the primary may have changed: ask again
    }
    retryAt_ = Platform().TickCount() + static_cast<std::uint32_t>(retryMs_);
    // Sentinels are cheap to ask, and a failover should be followed soon.
    retryMs_ = std::min(retryMs_ * 2, sentinels_.empty() ? kMaxRetryMs : kMaxSentinelRetryMs);
}

void CRoomLink::Skip(const redisReply* id, const char* why) {
    std::uint32_t now = Platform().TickCount();
    if (skipLineShown_ && Since(skipLineAt_, now) < kSkipReportMs) {
        ++skippedQuietly_;
        return;
    }
    std::string idText = reply::IsText(id)
                             ? std::string(id->str, std::min<std::size_t>(id->len, 40))
                             : std::string("?");
    ConsolePrint("Skipped room entry %s: %s\n", idText.c_str(), why);
    skipLineShown_ = true;
    skipLineAt_ = now;
}

void CRoomLink::ReportSkips(std::uint32_t now) {
    if (skippedQuietly_ > 0 && Since(skipLineAt_, now) >= kSkipReportMs) {
        ConsolePrint("Skipped %llu more room entries\n", skippedQuietly_);
        skippedQuietly_ = 0;
        skipLineAt_ = now;
    }
}

void CRoomLink::ReportDrops() {
    if (dropReported_ && held_.size() <= kMaxHeldMessages / 2 && heldBytes_ <= kMaxHeldBytes / 2) {
        ConsolePrint("Dropped %llu messages\n", dropped_);
        dropped_ = 0;
        dropReported_ = false;
    }
}
