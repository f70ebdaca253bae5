#include "server/client.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "console/console.h"
#include "stream/heap.h"
#include "stream/shared_block.h"

namespace {
// One scratch area for every receive; its bytes are handled at once.
unsigned char g_recvBuffer[kRecvBufferSize];
// One gather list for every send; the frames it points at stay queued.
SendSlice g_sendSlices[kMaxSendSlices];

const char kOverflowLine[] = "Output overflow\n";
const char kBudgetLine[] = "Memory budget exceeded\n";
const char kFloodLine[] = "Message flood\n";

// What a drop's console line counts as.
EndCause DropCause(const char* reason) {
    if (reason == kFloodLine) {
        return EndCause::kFlood;
    }
    return reason == kBudgetLine ? EndCause::kBudget : EndCause::kOverflow;
}
}  // namespace

CClient::CClient(std::unique_ptr<CConnection> connection, const Shared& shared)
    : output(kKeptOutputRuns),
      next(nullptr),
      prev(nullptr),
      readyPass(0),
      duePass(0),
      seq(0),
      budget(this),
      deadline(this),
      work(this),
      connection_(std::move(connection)),
      admitted_(false),
      shaking_(!connection_->Established()),
      intake_(shared.intake),
      memory_(shared.memory),
      clock_(shared.clock),
      busy_(shared.busy),
      late_(shared.late),
      timers_(shared.clock, shaking_ ? kHandshakeTimeoutMs : kIdleTimeoutMs),
      spareAt_(0),
      dropReason_(nullptr),
      discardOnClose_(false) {
    connection_->SetMemoryGrant(this);
    Schedule();
}

CClient::~CClient() {
    connection_->Close(discardOnClose_);
    ConsolePrint("Disconnected\n");
    memory_.Forget(budget);
    intake_.Forget(this);
    clock_.Cancel(deadline);
    busy_.Remove(work);
    SetHeld(false);
}

bool CClient::End(const char* reason, EndCause cause) {
    if (reason != nullptr) {
        ConsolePrint("%s", reason);
    }
    g_metrics.Ended(cause);
    return false;
}

void CClient::UpdateBudget() {
    memory_.Update(budget, HeldBytes(), QueuedBytes(), dropReason_ == nullptr);
}

bool CClient::MakeRoom(long long bytes) {
    while (!memory_.Fits(bytes)) {
        CMemoryBudget::Entry* largest = memory_.Largest();
        CClient* holder = largest != nullptr && largest != &budget
                              ? static_cast<CClient*>(largest->owner)
                              : nullptr;
        if (holder != nullptr && largest->queued == 0) {
            long long held = largest->bytes;
            holder->GiveBackSpare();
            if (largest->bytes < held) {
                continue;
            }
        }
        // Kept messages go before anyone is dropped.
        if (memory_.Reclaim(bytes)) {
            continue;
        }
        if (holder == nullptr) {
            Drop(kBudgetLine);  // nothing else to free: it cannot have the room
            return false;
        }
        holder->Drop(kBudgetLine);  // no longer a candidate: the next round names another
    }
    return true;
}

bool CClient::Grant(long long bytes) {
    if (dropReason_ != nullptr || !MakeRoom(bytes)) {
        return false;
    }
    // Counted at once, so that a second request within the same receive
    // finds the first one's bytes in the total.
    memory_.Update(budget, HeldBytes() + bytes, QueuedBytes(), true);
    return true;
}

void CClient::Admit() {
    if (shaking_ || awaitingToken_) {
        shaking_ = false;
        awaitingToken_ = false;
        ResetIdle();
    }
    admitted_ = true;
}

void CClient::AwaitToken() {
    if (shaking_) {
        shaking_ = false;
        ResetIdle();
    }
    awaitingToken_ = true;
}

void CClient::ResetIdle() {
    if (!awaitingToken_) {
        timers_.RestartIdle();
    }
}

void CClient::Schedule() {
    if (output.Size() > 0 || dropReason_ != nullptr || Pending() || Resuming()) {
        busy_.Add(work);  // its turn comes every pass
        return;
    }
    busy_.Remove(work);
    long long at = timers_.IdleEndsAt();
    if (held_) {
        // Not idle: its messages wait for the credit, or for the flood's end.
        at = bucket_.CreditAt(clock_.Now());
        long long floodEnds = bucket_.OverSince() + kFloodDropMs;
        at = bucket_.OverSince() >= 0 && floodEnds < at ? floodEnds : at;
    }
    if (output.Capacity() > 0 && spareAt_ < at) {
        at = spareAt_;
    }
    long long closing = finishBy_ != LLONG_MAX ? finishBy_ : closeAt_;
    if (closing < at) {
        at = closing;
    }
    clock_.Set(deadline, at);
}

void CClient::CloseBy(long long at) {
    closeAt_ = at;
    connection_->SayRestarting();
    Schedule();
}

void CClient::Drop(const char* reason) {
    if (dropReason_ != nullptr) {
        return;
    }
    dropReason_ = reason;
    busy_.Add(work);         // it ends at its next turn
    discardOnClose_ = true;  // what it has not read is lost anyway
    output.Release();
    // What it half received goes with it, freed now, so that making room
    // costs no one else for it. Its remaining messages are not cut.
    input_.Clear();
    connection_->Discard();
    UpdateBudget();
}

void CClient::SetMessageRate(double rate, double burst) {
    bucket_.SetLimits(rate, burst, clock_.Now());
}

void CClient::SetHeld(bool held) {
    if (held != held_) {
        held_ = held;
        g_metrics.clientsHeld += held ? 1 : -1;
    }
}

bool CClient::Credit() {
    long long now = clock_.Now();
    // "@AUTH" is free: a client that owes a token sends nothing else.
    if (awaitingToken_ || bucket_.Take(now)) {
        return true;
    }
    SetHeld(true);
    ++g_metrics.holdBacks;
    intake_.Forget(this);  // it reads nothing for now: the next one is served
    bucket_.Refused(now);
    if (now - bucket_.OverSince() >= kFloodDropMs) {
        Drop(kFloodLine);
    }
    return false;
}

bool CClient::ResumeHeld() {
    long long now = clock_.Now();
    if (bucket_.CreditAt(now) > now) {
        if (bucket_.OverSince() >= 0 && now - bucket_.OverSince() >= kFloodDropMs) {
            Drop(kFloodLine);  // a rate so low that no credit came in the time
        }
        return true;
    }
    SetHeld(false);
    readOwed_ = true;
    // What it kept is cut first; its socket is read in its next turn.
    input_.BeginCut(nullptr, 0);
    return true;
}

void CClient::GiveBackSpare() {
    if (output.Size() == 0) {
        output.Release();
    }
    input_.GiveBackSpare();
    connection_->GiveBackSpare();
    UpdateBudget();
}

void CClient::SendText(const char* text) {
    if (text == nullptr || text[0] == '\0' || TakesNoMore()) {
        return;
    }
    size_t length = std::strlen(text);
    const CEncoding& encoding = connection_->Encoding();
    // Sizes are checked in 64 bits so that no length can wrap the sums.
    long long size = encoding.WireSize(length);
    if (size < 0 || output.Size() + size > kMaxQueuedOutput) {
        Drop(kOverflowLine);
        return;
    }
    CSharedBlock* block = CSharedBlock::Make(static_cast<int>(size));
    int at = block != nullptr ? encoding.Write(*block, text, length) : 0;
    SendShared(block, at, static_cast<int>(size));
    if (block != nullptr) {
        block->Release();
    }
}

void CClient::Deliver(COutgoing& message) {
    // A replay takes what is relayed meanwhile from the window, in order.
    if (TakesNoMore() || Replaying()) {
        return;
    }
    CSharedBlock* block = nullptr;
    int at = 0;
    int size = 0;
    const CEncoding& plain = connection_->Encoding();
    message.Frame(Tagged() ? TaggedEncoding(plain) : plain, &block, &at, &size);
    SendShared(block, at, size);
}

void CClient::SendShared(CSharedBlock* block, int at, int size) {
    if (TakesNoMore()) {
        return;
    }
    if (block == nullptr || output.Size() + static_cast<long long>(size) > kMaxQueuedOutput) {
        Drop(kOverflowLine);  // too long, or the heap refused it
        return;
    }
    if (!MakeRoom(size + output.GrowthFor(block, at))) {
        return;
    }
    bool wasEmpty = output.Size() == 0;
    if (!output.Push(block, at, size) || !connection_->FrameQueued(size)) {
        Drop(kOverflowLine);  // the heap refused
        return;
    }
    if (wasEmpty) {
        timers_.OutputQueued(seq);
        busy_.Add(work);
        if (late_ != nullptr && clock_.TurnCame(seq) && latePass != clock_.Pass()) {
            latePass = clock_.Pass();
            late_->push_back(this);
        }
    }
    UpdateBudget();
}

bool CClient::Tick(int elapsedMs, bool mayRead) {
    if (dropReason_ != nullptr) {
        return End(dropReason_, DropCause(dropReason_));
    }
    if (held_) {
        ResetIdle();  // its messages wait for the credit: that is no idleness
    }
    if (!SendQueued(elapsedMs)) {
        return false;
    }
    // A client is only idle while nothing waits to go out to it.
    if (output.Size() == 0) {
        // Its closing time has come and all it was given has gone.
        if (closeAt_ <= clock_.Now()) {
            // What the peer sent before it learns of the close is still
            // handled: it is told, then has a moment to close its side.
            if (finishBy_ == LLONG_MAX) {
                if (!connection_->FinishSending()) {
                    return End(nullptr, EndCause::kShutdown);
                }
                finishBy_ = clock_.Now() + kFinishGraceMs;
            } else if (finishBy_ <= clock_.Now()) {
                return End(nullptr, EndCause::kShutdown);
            }
        }
        QueueEmpty(clock_.Before());
        if (timers_.IdleOver()) {
            return End("TIMEOUT\n", EndCause::kTimeout);
        }
        if (spareAt_ <= clock_.Now() && output.Capacity() > 0) {
            output.Release();
            UpdateBudget();
        }
    }
    if (held_) {
        return ResumeHeld();
    }
    // The pass's readiness look saw nothing for this socket: skipping it is
    // what a receive finding nothing waiting would have done.
    return !(mayRead || readOwed_) || Receive();
}

bool CClient::SendLate() {
    if (sentPass_ == clock_.Pass() || dropReason_ != nullptr) {
        return true;
    }
    // The pass's time was counted in its turn.
    if (!SendQueued(0)) {
        return false;
    }
    if (output.Size() == 0) {
        // Its turn in this pass counted the pass already: the idle time
        // runs again from now, not from before the pass a second time.
        QueueEmpty(clock_.Now());
    }
    return true;
}

void CClient::QueueEmpty(long long from) {
    if (timers_.OutputDrained(from)) {
        spareAt_ = from + kKeepDrainedMs;  // the kept ring's time, as the idle time
    }
}

bool CClient::SendQueued(int elapsedMs) {
    if (output.Size() == 0) {
        return true;
    }
    sentPass_ = clock_.Pass();
    int pieces = output.Gather(g_sendSlices, kMaxSendSlices, kMaxSendPerPass);
    int sent = connection_->Send(g_sendSlices, pieces);
    if (sent == kIoError) {
        return End(nullptr, EndCause::kError);
    }
    if (sent <= 0) {
        // A peer that takes nothing at all for the whole time is gone in all
        // but name; one that drains slowly keeps its place.
        if (timers_.SentNothing(elapsedMs)) {
            discardOnClose_ = true;
            return End("TIMEOUT\n", EndCause::kStall);
        }
        return true;
    }
    timers_.Sent();
    g_metrics.bytesSent += static_cast<std::uint64_t>(sent);
    output.Consume(sent);
    UpdateBudget();
    return true;
}

bool CClient::StoreInput(const unsigned char* bytes, int count) {
    long long growth = input_.GrowthFor(count);
    if (growth > 0) {
        MakeRoom(growth);
    }
    if (dropReason_ != nullptr) {
        return End(dropReason_, DropCause(dropReason_));
    }
    if (!input_.Keep(bytes, count)) {
        // The stream would be out of step with the peer from here on.
        return End(nullptr, EndCause::kError);
    }
    UpdateBudget();
    return true;
}

bool CClient::Receive() {
    int allowance = intake_.Allowance(this, input_.Size(), input_.MissingBytes(), kRecvBufferSize);
    // A read owed is paid only by a read: with the intake spent it waits.
    readOwed_ = readOwed_ && allowance <= 0;
    if (allowance <= 0) {
        // Its bytes wait in the kernel for its next turn: that is no idleness.
        ResetIdle();
        return true;
    }
    int received = connection_->Receive(g_recvBuffer, allowance);
    if (received == 0 || received == kIoError) {
        // A peer that closes after the server finished sending was closed by it.
        EndCause cause = received != 0            ? EndCause::kError
                         : finishBy_ != LLONG_MAX ? EndCause::kShutdown
                                                  : EndCause::kPeerClosed;
        return End(nullptr, cause);
    }
    intake_.Took(this, received > 0 ? received : 0);
    UpdateBudget();  // its connection may hold more or less now (a message being put together)
    if (received < 0) {
        return true;
    }
    ResetIdle();
    g_metrics.bytesReceived += static_cast<std::uint64_t>(received);

    // Frames are cut straight from the receive when nothing was pending, and
    // from the input otherwise; what is consumed leaves in one move at the end.
    if (input_.Size() > 0 && !StoreInput(g_recvBuffer, received)) {
        return false;
    }
    input_.BeginCut(g_recvBuffer, received);
    return true;
}

CClient::Next CClient::NextMessage(char** message) {
    while (input_.Cutting() && dropReason_ == nullptr) {
        const unsigned char* payload = nullptr;
        int length = 0;
        CFrameInput::Cut cut = input_.Next(&payload, &length);
        if (cut == CFrameInput::Cut::kBadLength) {
            End("Invalid msg size\n", EndCause::kInvalidSize);
            return Next::kEnded;
        }
        if (cut == CFrameInput::Cut::kNeedMore) {
            return EndOfMessages() ? Paused() : Next::kEnded;
        }
        if (!Credit()) {
            // The message waits with the rest in its input, uncut.
            input_.PutBack();
            if (dropReason_ != nullptr) {
                break;
            }
            return EndOfMessages() ? Next::kNone : Next::kEnded;
        }
        ResetIdle();
        intake_.FinishedFrame(this);
        char* text = static_cast<char*>(HeapRealloc(nullptr, static_cast<size_t>(length) + 1));
        // Without memory for it the message is dropped; the stream stays in step.
        if (text != nullptr) {
            std::memcpy(text, payload, static_cast<size_t>(length));
            text[length] = '\0';
            *message = text;
            return Next::kMessage;
        }
    }
    if (dropReason_ != nullptr) {
        // Dropped while its messages were handled: the rest goes with it.
        input_.StopCut();
        End(dropReason_, DropCause(dropReason_));
        return Next::kEnded;
    }
    return Paused();
}

CClient::Next CClient::Paused() {
    // All it sent was taken within its credit, and its socket was read.
    if (!held_ && !readOwed_) {
        bucket_.Paused();
    }
    return Next::kNone;
}

bool CClient::EndOfMessages() {
    int kept = input_.Size();
    int restCount = 0;
    const unsigned char* rest = input_.EndCut(&restCount);
    if (restCount > 0) {
        return StoreInput(rest, restCount);
    }
    if (input_.Size() != kept) {
        UpdateBudget();
    }
    return true;
}
