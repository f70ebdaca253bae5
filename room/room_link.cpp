#include "room/room_link.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "console/console.h"
#include "room/redis_reply.h"

CRoomLink::CRoomLink(CRoomDelivery& delivery, std::unique_ptr<CRedisChannel> channel,
                     std::string host, int port, std::string key, std::string password)
    : channel_(std::move(channel)),
      primary_(std::move(host), port),
      cursor_(delivery, outbox_),
      key_(std::move(key)),
      password_(std::move(password)) {}

void CRoomLink::BeforeClients(long long now) {
    now_ = now;
    if (state_ == State::kWaiting) {
        return;
    }
    cursor_.Pass(now);
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
        if (step == Step::kRead && primary_.WithSentinels() && !reply::IsError(r)) {
            cursor_.HoldRead(r);  // delivered once WAIT, later in this batch, says a replica has it
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
        Overdue();
    }
}

void CRoomLink::AfterClients(long long now) {
    now_ = now;
    if (state_ == State::kWaiting) {
        if (now >= retryAt_) {
            Reach();
        }
        return;
    }
    if (state_ == State::kUp && steps_.empty()) {
        SendBatch();
    }
}

bool CRoomLink::Command(Step step, CRedisCommand& command) {
    // A command hiredis could not take would leave the replies out of step
    // with the steps: nothing more is queued, and the write fails the link.
    if (appendFailed_ || command.Overflowed() ||
        !channel_->Append(command.Count(), command.Words(), command.Lengths())) {
        appendFailed_ = true;
        return false;
    }
    // Its size on the wire, to tell at a stop what was written.
    steps_.push_back({step, command.WireBytes()});
    return true;
}

bool CRoomLink::ReadQueued() const {
    return std::any_of(steps_.begin(), steps_.end(),
                       [](const Pending& p) { return p.step == Step::kRead; });
}

bool CRoomLink::Write() {
    if (appendFailed_ || !channel_->Exchange()) {
        Lost(channel_->Error());
        return false;
    }
    return true;
}

void CRoomLink::Reach() {
    // With Sentinels, each attempt first asks one where the primary is.
    bool asking = primary_.Asking();
    const std::string& host = asking ? primary_.Asked().host : primary_.Host();
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
        Ask(address);
    } else {
        Connect(address);
    }
}

void CRoomLink::Ask(const std::string& address) {
    state_ = State::kAsking;
    if (!channel_->Open(address, primary_.Asked().port)) {
        Lost(channel_->Error());
        return;
    }
    sentAt_ = now_;
    CRedisCommand ask;
    primary_.WriteAsk(ask);
    Command(Step::kSentinel, ask);
    Write();
}

bool CRoomLink::OnSentinel(const redisReply* r) {
    std::string why;
    if (!primary_.OnSentinel(r, &why)) {
        Lost(why);
        return false;
    }
    // On to the primary at once, on a connection of its own.
    channel_->Close();
    steps_.clear();
    state_ = State::kWaiting;
    retryAt_ = now_;
    return false;
}

void CRoomLink::OnWait(const redisReply* r) {
    if (!primary_.OnWait(r, now_)) {
        // Not yet on a replica: read again from the same place next time;
        // the messages stay held.
        cursor_.DropHeldRead();
        return;
    }
    outbox_.OnReplica();
    cursor_.DeliverHeldRead();
}

void CRoomLink::Connect(const std::string& address) {
    ++connects_;
    if (!channel_->Open(address, primary_.Port())) {
        Lost(channel_->Error());
        return;
    }
    state_ = State::kHandshake;
    sentAt_ = now_;
    cursor_.Read(now_);  // the handshake looks where the stream stands
    if (!password_.empty()) {
        CRedisCommand auth;
        Command(Step::kPlain, auth.Word("AUTH").Word(password_));
    }
    if (primary_.WithSentinels()) {
        CRedisCommand role;
        Command(Step::kRole, role.Word("ROLE"));
    }
    CRedisCommand info;
    info.Word("XINFO").Word("STREAM").Word(key_);
    if (!cursor_.Anchored()) {
        // Where the stream stands and its last entries, taken together.
        CRedisCommand multi, last, exec;
        Command(Step::kPlain, multi.Word("MULTI"));
        Command(Step::kPlain, info);
        cursor_.BeginAnchor();
        last.Word("XREVRANGE").Word(key_).Word("+").Word("-").Word("COUNT");
        last.Number(cursor_.AnchorCount());
        Command(Step::kPlain, last);
        Command(Step::kAnchor, exec.Word("EXEC"));
    } else {
        Command(Step::kCheck, info);
    }
    Write();
}

bool CRoomLink::NextAnchorPage() {
    if (!cursor_.Anchoring()) {
        return true;
    }
    // Still in the handshake: no read goes out before the history is set.
    std::string from = cursor_.AnchorFrom().ToString();
    CRedisCommand page;
    page.Word("XREVRANGE").Word(key_).Word(from).Word("-").Word("COUNT");
    Command(Step::kAnchorPage, page.Number(cursor_.AnchorCount()));
    sentAt_ = now_;
    return Write();
}

void CRoomLink::SendBatch() {
    // Reads this far apart (a stalled process, a slow Redis) may have let
    // entries be trimmed in between: look where the stream stands first.
    if (cursor_.CheckDue(now_)) {
        CRedisCommand check;
        Command(Step::kCheck, check.Word("XINFO").Word("STREAM").Word(key_));
        cursor_.Checked();
    }
    // After a broken link, what may already be in the stream waits until
    // the reading has caught up and shown which of it is.
    bool replicated = primary_.WithSentinels();
    if (!outbox_.Recovering() && !replicated) {
        AppendAdds(static_cast<std::size_t>(kMaxAddsPerBatch), kMaxAddBytesPerBatch);
    }
    std::string from = cursor_.LastId().ToString();
    CRedisCommand read;
    read.Word("XREAD").Word("COUNT").Number(static_cast<unsigned long long>(cursor_.ReadCount()));
    Command(Step::kRead, read.Word("STREAMS").Word(key_).Word(from));
    if (replicated) {
        // The adds come after the read and WAIT after both: once a replica
        // has everything up to here, what the read returned is delivered
        // and the adds are let go. Without an add, a PUBLISH is the write
        // whose place WAIT waits for.
        std::size_t before = outbox_.SentAdds();
        if (!outbox_.Recovering()) {
            AppendAdds(static_cast<std::size_t>(kMaxAddsPerBatch), kMaxAddBytesPerBatch);
        }
        if (outbox_.SentAdds() == before) {
            std::string channel = key_ + ":sync";
            CRedisCommand publish;
            Command(Step::kPlain, publish.Word("PUBLISH").Word(channel).Word(outbox_.Tag()));
        }
        CRedisCommand wait;
        primary_.WriteWait(wait);
        Command(Step::kWait, wait);
    }
    sentAt_ = now_;
    cursor_.Read(now_);
    Write();
}

void CRoomLink::AppendAdds(std::size_t maxCount, std::size_t maxBytes) {
    std::size_t bytes = 0;
    for (std::size_t added = 0; added < maxCount && bytes < maxBytes; ++added) {
        const CRoomOutbox::Held* h = outbox_.NextUnsent();
        if (h == nullptr) {
            break;
        }
        CRedisCommand add;
        add.Word("XADD").Word(key_).Word("MAXLEN").Word("~").Number(StreamLength()).Word("*");
        entry_.Write(add, h->text, h->length, outbox_.Tag(), h->seq);
        if (!Command(Step::kAdd, add)) {
            break;
        }
        bytes += h->length;
        outbox_.Sent();
    }
}

bool CRoomLink::StopPass(long long now) {
    now_ = now;
    if (!stopping_) {
        stopping_ = true;
        stopStart_ = now;
        cursor_.StopDelivering();
        if (state_ == State::kWaiting) {
            retryAt_ = now;  // one more attempt now, not after the backoff
        }
    }
    if (!outbox_.Empty() && now - stopStart_ < kStopMs) {
        BeforeClients(now);
    }
    if (outbox_.Empty() || now - stopStart_ >= kStopMs) {
        ReportAtStop();
        return false;
    }
    if (state_ == State::kUp && !steps_.empty()) {
        // No waiting for the batch in flight: everything held goes out
        // behind it, and the answers come in order.
        if (!outbox_.Recovering() && outbox_.NextUnsent() != nullptr) {
            AppendAdds(outbox_.Count(), SIZE_MAX);
            Write();
        }
    } else {
        AfterClients(now);
    }
    return true;
}

void CRoomLink::ReportAtStop() {
    // The adds whose bytes are not written yet are the last ones queued.
    std::size_t unwrittenAdds = 0;
    if (state_ != State::kWaiting) {
        std::size_t unwritten = channel_->Unwritten();
        for (auto p = steps_.rbegin(); p != steps_.rend() && unwritten > 0; ++p) {
            unwrittenAdds += p->step == Step::kAdd ? 1 : 0;
            unwritten -= std::min(unwritten, p->bytes);
        }
    }
    outbox_.ReportAtStop(unwrittenAdds);
}

bool CRoomLink::Handle(Step step, const redisReply* r) {
    if (reply::IsError(r) && !(step == Step::kCheck && reply::NoSuchKey(r))) {
        Fail(std::string(r->str, r->len));
        return false;
    }
    switch (step) {
        case Step::kPlain:
            return true;
        case Step::kAnchor:
            if (!reply::IsArray(r, 2) ||
                (reply::IsError(r->element[0]) && !reply::NoSuchKey(r->element[0]))) {
                Fail(reply::IsArray(r, 1) && reply::IsError(r->element[0])
                         ? std::string(r->element[0]->str, r->element[0]->len)
                         : "EXEC did not run");
                return false;
            }
            cursor_.OnAnchor(r);
            return NextAnchorPage();
        case Step::kAnchorPage:
            cursor_.OnAnchorPage(r);
            return NextAnchorPage();
        case Step::kCheck:
            cursor_.OnCheck(r, ReadQueued());
            return true;
        case Step::kSentinel:
            return OnSentinel(r);
        case Step::kRole:
            if (!primary_.OnRole(r)) {
                Lost("not the primary");  // the Sentinel's answer is already old
                return false;
            }
            return true;
        case Step::kWait:
            OnWait(r);
            return true;
        case Step::kAdd:
            if (primary_.WithSentinels()) {
                outbox_.AwaitReplica();  // kept until a replica has it (OnWait)
            } else {
                outbox_.Confirmed();
            }
            return true;
        case Step::kRead:
            cursor_.OnRead(r);
            return true;
    }
    return true;
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
    outbox_.ReportDrops();
}

void CRoomLink::Overdue() {
    long long waited = now_ - sentAt_;
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
        const CRedisAddress& asked = primary_.Asked();
        reason += "Sentinel " + asked.host + ":" + std::to_string(asked.port) + ": ";
    }
    reason += why.empty() ? std::string("failed") : why;
    Tell(reason);
    Fail("");
}

void CRoomLink::Fail(const std::string& redisError) {
    bool wasUp = state_ == State::kUp;
    bool wasAsking = state_ == State::kAsking;
    cursor_.Broken();
    outbox_.Broken();
    channel_->Close();
    state_ = State::kWaiting;
    steps_.clear();
    appendFailed_ = false;
    if (!redisError.empty()) {
        Tell("error: " + redisError);
    }
    if (!downReported_) {
        ConsolePrint("%s\n", wasUp ? "Redis lost, retrying" : "Redis unreachable, retrying");
        downReported_ = true;
    }
    slowReported_ = false;
    if (primary_.NextAfterFailure(wasAsking)) {
        retryAt_ = now_;
        return;
    }
    retryAt_ = now_ + retryMs_;
    // Sentinels are cheap to ask, and a failover should be followed soon.
    retryMs_ = std::min(retryMs_ * 2, primary_.MaxRetryMs());
}
