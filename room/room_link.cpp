#include "room/room_link.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <random>

#include "console/console.h"
#include "platform/platform.h"
#include "room/redis_reply.h"
#include "stream/heap.h"

namespace {

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
    if (!channel_->Exchange()) {
        Fail("");
        return;
    }
    while (!steps_.empty()) {
        redisReply* r = channel_->NextReply();
        if (r == nullptr) {
            break;
        }
        Step step = steps_.front();
        steps_.pop_front();
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
            Connect(now);
        }
        return;
    }
    if (state_ == State::kUp && steps_.empty()) {
        SendBatch(now);
    }
}

void CRoomLink::Command(Step step, int argc, const char** argv, const std::size_t* lengths) {
    channel_->Append(argc, argv, lengths);
    steps_.push_back(step);
}

void CRoomLink::Connect(std::uint32_t now) {
    ++counts.connects;
    if (!channel_->Open(host_, port_)) {
        Fail("");
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
    if (!anchored_) {
        // Where the stream stands and its last three, taken together.
        plain(Step::kPlain, {"MULTI"});
        plain(Step::kPlain, {"XINFO", "STREAM", key_.c_str()});
        plain(Step::kPlain, {"XREVRANGE", key_.c_str(), "+", "-", "COUNT", "3"});
        plain(Step::kAnchor, {"EXEC"});
    } else {
        plain(Step::kCheck, {"XINFO", "STREAM", key_.c_str()});
    }
    if (!channel_->Exchange()) {
        Fail("");
    }
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
    if (!catchingUp_) {
        char maxLength[16];
        int maxLengthSize = std::snprintf(maxLength, sizeof maxLength, "%d", kStreamMaxLength);
        std::size_t bytes = 0;
        while (sentAdds_ < held_.size() && sentAdds_ < static_cast<std::size_t>(kMaxAddsPerBatch) &&
               bytes < kMaxAddBytesPerBatch) {
            const Held& h = held_[sentAdds_];
            char origin[48];
            int originSize = std::snprintf(origin, sizeof origin, "%s:%llu", tag_.c_str(),
                                           static_cast<unsigned long long>(h.seq));
            const char* argv[] = {"XADD", key_.c_str(), "MAXLEN", "~", maxLength,
                                  "*",    "m",          h.text,   "o", origin};
            std::size_t lengths[] = {
                4, key_.size(), 6,        1, static_cast<std::size_t>(maxLengthSize),
                1, 1,           h.length, 1, static_cast<std::size_t>(originSize)};
            Command(Step::kAdd, 10, argv, lengths);
            bytes += h.length;
            ++sentAdds_;
        }
    }
    char count[16];
    int countSize = std::snprintf(count, sizeof count, "%d", kReadCount);
    std::string from = lastId_.ToString();
    const char* argv[] = {"XREAD", "COUNT", count, "STREAMS", key_.c_str(), from.c_str()};
    std::size_t lengths[] = {5, 5,           static_cast<std::size_t>(countSize),
                             7, key_.size(), from.size()};
    Command(Step::kRead, 6, argv, lengths);
    sentAt_ = lastReadAt_ = now;
    if (!channel_->Exchange()) {
        Fail("");
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
        case Step::kAdd: {
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
    // The room's last three become the history, oldest first.
    char* history[3];
    std::size_t kept = 0;
    for (std::size_t i = reply::IsArray(last) ? last->elements : 0; i-- > 0 && kept < 3;) {
        const redisReply* entry = last->element[i];
        const redisReply* text =
            reply::IsArray(entry, 2) ? reply::Field(entry->element[1], "m") : nullptr;
        char* copy = reply::IsText(text) ? CopyText(text) : nullptr;
        if (copy != nullptr) {
            history[kept++] = copy;
        }
    }
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
        return;  // a Redis before 7.0 does not tell, so nothing can be counted
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
    delivery_.ReplaceHistory(nullptr, 0);
    // A read already sent in this batch went from the old place.
    discardRead_ = std::find(steps_.begin(), steps_.end(), Step::kRead) != steps_.end();
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
    for (std::size_t i = 0; i < count; ++i) {
        const redisReply* entry = entries->element[i];
        CStreamId id;
        if (!reply::IsArray(entry, 2) || !ParseId(entry->element[0], &id) || !(lastId_ < id)) {
            continue;
        }
        lastId_ = id;
        ++seen_;
        ++counts.entriesRead;
        const redisReply* fields = entry->element[1];
        if (catchingUp_) {
            OnOwnEntry(reply::Field(fields, "o"));
        }
        const redisReply* text = reply::Field(fields, "m");
        char* copy = reply::IsText(text) ? CopyText(text) : nullptr;
        if (copy != nullptr) {
            delivery_.Deliver(copy);
        }
    }
    if (count >= static_cast<std::size_t>(kReadCount)) {
        checkDue_ = true;  // behind: the next read may find entries trimmed
    } else if (catchingUp_) {
        // Read to the end: what was not found was never written; send it again.
        catchingUp_ = false;
        for (Held& h : held_) {
            if (!h.uncertain) {
                break;  // the uncertain ones are the oldest, at the front
            }
            h.uncertain = false;
        }
    }
}

void CRoomLink::OnOwnEntry(const redisReply* origin) {
    if (!reply::IsText(origin) || origin->len <= tag_.size() + 1 ||
        std::memcmp(origin->str, tag_.data(), tag_.size()) != 0 ||
        origin->str[tag_.size()] != ':') {
        return;
    }
    std::uint64_t seq = std::strtoull(origin->str + tag_.size() + 1, nullptr, 10);
    // Written before the link broke: not to be sent again.
    while (!held_.empty() && held_.front().uncertain && held_.front().seq <= seq) {
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
        lastError_.clear();
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
    if (state_ == State::kHandshake) {
        if (waited > kHandshakeMs) {
            Fail("");
        }
        return;
    }
    if (waited > kLostReplyMs) {
        Fail("");
    } else if (waited > kSlowReplyMs && !slowReported_) {
        ConsolePrint("Redis not answering\n");
        slowReported_ = true;
    }
}

void CRoomLink::Fail(const std::string& redisError) {
    bool wasUp = state_ == State::kUp;
    channel_->Close();
    state_ = State::kWaiting;
    steps_.clear();
    discardRead_ = false;
    for (std::size_t i = 0; i < sentAdds_; ++i) {
        held_[i].uncertain = true;
    }
    sentAdds_ = 0;
    catchingUp_ = !held_.empty() && held_.front().uncertain;
    if (!redisError.empty() && redisError != lastError_) {
        ConsolePrint("Redis error: %.200s\n", redisError.c_str());
        lastError_ = redisError;
    }
    if (!downReported_) {
        ConsolePrint("%s\n", wasUp ? "Redis lost, retrying" : "Redis unreachable, retrying");
        downReported_ = true;
    }
    slowReported_ = false;
    retryAt_ = Platform().TickCount() + static_cast<std::uint32_t>(retryMs_);
    retryMs_ = std::min(retryMs_ * 2, kMaxRetryMs);
}

void CRoomLink::ReportDrops() {
    if (dropReported_ && held_.size() <= kMaxHeldMessages / 2 && heldBytes_ <= kMaxHeldBytes / 2) {
        ConsolePrint("Dropped %llu messages\n", dropped_);
        dropped_ = 0;
        dropReported_ = false;
    }
}
