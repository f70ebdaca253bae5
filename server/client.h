#pragma once

#include <climits>
#include <cstdint>
#include <memory>
#include <vector>

#include "connection/connection.h"
#include "metrics/counters.h"
#include "policy/deadlines.h"
#include "policy/intake.h"
#include "policy/memory_budget.h"
#include "policy/token_bucket.h"
#include "policy/work_list.h"
#include "server/client_timers.h"
#include "server/frame_input.h"
#include "server/outgoing.h"
#include "server/output_queue.h"

// Most bytes offered to one send, and asked of one receive, per pass.
constexpr int kMaxSendPerPass = 65536;
constexpr int kRecvBufferSize = 32768;
// A drained output ring of up to this many runs of frames is kept for the
// next ones, so a steady stream allocates nothing. It is given back once
// nothing has been queued for a while.
constexpr int kKeptOutputRuns = 1024;
constexpr int kKeepDrainedMs = 1000;
// A client closed by a drain is told that nothing more comes, then has this
// long to close its side; what it sends meanwhile is still handled.
constexpr int kFinishGraceMs = 2000;

// One accepted connection in the room. It owns its connection, what it has
// received of a frame (its input) and the frames still to be sent (`output`). It shares the pass's
// intake and the memory budget with the others, and the pass clock with its deadlines and the list
// of those with work, all handed over when it is made. What its messages do is the server's: a turn
// is Tick, then NextMessage until it says no more. The server owns the client and deletes it when
// either says its connection has ended. A client can be marked to be dropped at any time (Drop); it
// then ends at its next turn, so a walk of the list never meets a deletion.
class CClient final : public CParticipant, private CMemoryGrant {
  public:
    // The policies a client shares with the others.
    struct Shared {
        CIntake& intake;
        CMemoryBudget& memory;
        CDeadlines& clock;
        CWorkList& busy;
        // Where a client that gets output after its turn in a pass notes
        // itself, to send it in that pass; null: it waits for the next.
        std::vector<CClient*>* late = nullptr;
    };
    CClient(std::unique_ptr<CConnection> connection, const Shared& shared);
    ~CClient();
    CClient(const CClient&) = delete;
    CClient& operator=(const CClient&) = delete;

    // Queues `text` (up to its NUL) as one message, whole or not at all.
    // Null and empty texts queue nothing. A message that cannot be queued,
    // for the output bound, the memory budget or the heap, drops the
    // client, so it never sees a stream with a message missing.
    void SendText(const char* text);
    // Queues the `size` frame bytes at `at` in a block shared with other
    // clients, on the same terms. A null block is a frame the heap refused.
    void SendShared(CSharedBlock* block, int at, int size);

    // CParticipant
    void Deliver(COutgoing& message) override;
    void Replay(const char* text) override { SendText(text); }
    const CEncoding& Encoding() const override { return connection_->Encoding(); }
    bool WantsMore() const override {
        return dropReason_ == nullptr && output.Size() < kMaxSendPerPass;
    }
    void Queue(CSharedBlock* block, int at, int size) override { SendShared(block, at, size); }

    // One turn: send, count down the stall time or look at the idle
    // deadline, receive (within the pass's shared intake) when `mayRead`.
    // False when the connection has ended (its console line printed): the
    // caller deletes the client.
    bool Tick(int elapsedMs, bool mayRead);
    // The whole messages of this turn's receive, one at a time. After a Tick
    // that said true, call it until it says kNone or kEnded, before any
    // other client's turn: the receive's bytes are only lent till then.
    enum class Next {
        kMessage,  // `*message` is a NUL-terminated heap text, the caller's now
        kNone,     // no more whole ones in this turn
        kEnded,    // the connection has ended (its console line printed)
    };
    Next NextMessage(char** message);
    // The send, at the end of a pass, of output that came after the turn
    // (noted in Shared::late); nothing when it sent in this pass already.
    // False when the connection has ended (as Tick).
    bool SendLate();
    // The pass in which it last noted itself late.
    unsigned latePass = 0;
    // After a turn that did not end it: files the client for the passes to
    // come, in the work list while it has output, a drop pending, a replay
    // going on or work its connection holds, and by its next deadline
    // otherwise.
    void Schedule();

    // Marks the client to be dropped at its next turn with the console line
    // `reason` (then "Disconnected"), and frees now its output and what it
    // (or its connection) half received.
    void Drop(const char* reason);
    bool Dropping() const { return dropReason_ != nullptr; }
    // Closes the client at `at` on the pass clock, once what is queued for
    // it by then has gone out: nothing more is queued from that time on.
    // Its connection tells the peer that the server restarts, if its kind
    // can (a WebSocket's close code).
    void CloseBy(long long at);
    // Frees the buffers, its own and its connection's, that hold nothing
    // queued or half received.
    void GiveBackSpare();
    // Frees what others hold, as for a message, until the budget is kept
    // again: for memory that grew without asking first (OpenSSL's).
    void KeepBudget() { MakeRoom(0); }

    // Bytes waiting to go out or to complete a frame or a message (its
    // connection's too), and the memory that holds them. Shared frames
    // count in full for every client they wait for, so the total never
    // underrates what is held.
    long long QueuedBytes() const {
        return static_cast<long long>(output.Size()) + input_.Size() + connection_->QueuedBytes();
    }
    long long HeldBytes() const {
        return static_cast<long long>(output.Size()) + output.Capacity() + input_.Capacity() +
               connection_->HeldBytes();
    }
    // Whether it holds bytes of a frame not yet whole (between turns).
    bool HalfReceived() const { return input_.Size() != 0; }
    const CFrameInput& Input() const { return input_; }

    SocketHandle Socket() const { return connection_->Socket(); }
    // For its listener's kind to judge (a TLS client certificate).
    const CConnection& Connection() const { return *connection_; }
    // Whether its connection carries messages yet (a handshake is done).
    bool Established() const { return connection_->Established(); }
    // Whether it has bytes to read that its socket would not announce (its
    // connection's, or a read owed since its credit returned). Never while
    // it is held back: then nothing of it is read.
    bool Pending() const { return !held_ && (readOwed_ || connection_->Pending()); }

    // Its messages may count against `rate` a second, in bursts of up to
    // `burst` (0: no limit; see CTokenBucket). A client over its rate is
    // held back: its messages wait, kept in its input and its socket, and
    // it is read no further until its credit returns; it is filed by that
    // time. One over its rate for kFloodDropMs without a pause is dropped.
    void SetMessageRate(double rate, double burst);
    bool HeldBack() const { return held_; }

    // What is left of the idle time: it runs only while nothing is queued.
    int IdleMs() const { return timers_.IdleMs(); }
    COutputQueue output;
    // The server's list, newest first.
    CClient* next;
    CClient* prev;
    // The last pass whose readiness look reported its socket (noted by the
    // server).
    unsigned readyPass;
    // The last pass that found it had something to do.
    unsigned duePass;
    // Its order in the server's list: newer clients have higher numbers.
    unsigned long long seq;
    // The listener it came in on, as the metrics count it.
    ListenerKind kind = ListenerKind::kTcp;
    CMemoryBudget::Entry budget;
    CDeadlines::Entry deadline;
    CWorkList::Entry work;
    // Into the room (by the server, once established): from now on it
    // gets the history and what is relayed. The idle time, not the
    // handshake's, counts from here.
    void Admit();
    bool Admitted() const { return admitted_; }
    // Established, but must first show a token (by the server): nothing
    // goes out to it, and its idle time, counted from now (or from its
    // accept), is not renewed by what it sends. Admit ends the wait.
    void AwaitToken();
    bool AwaitingToken() const { return awaitingToken_; }
    // Let in with a listen-only token (by the server): it gets what the
    // room gets, but its ordinary messages are refused.
    bool listenOnly = false;
    // The peer's IPv4 address, and whether the server counts it per address.
    std::uint32_t peer = 0;
    bool peerCounted = false;

  private:
    void UpdateBudget();
    // Frees what others hold, largest first, until `bytes` more fit; false
    // when this client itself had to be dropped for it. A holder with
    // nothing queued gives back its spare buffers, and is dropped when that
    // frees nothing, so every round frees something and the loop ends.
    bool MakeRoom(long long bytes);
    // CMemoryGrant: room for what its connection is about to hold.
    bool Grant(long long bytes) override;
    // The idle time starts again from its full length, unless a token is
    // awaited: that is due within the time it was given.
    void ResetIdle();
    // Keeps received bytes in its input, within the budget. False when the
    // connection has ended.
    bool StoreInput(const unsigned char* bytes, int count);
    // The queue is empty after a send: the idle time runs again from `from`
    // on the pass clock, and once it has just drained, the kept ring's time
    // starts.
    void QueueEmpty(long long from);
    // Sends from `output`; false when the connection has ended.
    bool SendQueued(int elapsedMs);
    // Receives; false when the connection has ended.
    bool Receive();
    // Keeps what is left of a half frame once the whole ones are taken.
    bool EndOfMessages();
    // Takes one message's credit; without it the client is held back (or
    // dropped when that has gone on too long).
    bool Credit();
    void SetHeld(bool held);
    // A held-back client whose credit has returned cuts what it kept; false
    // when the connection has ended.
    bool ResumeHeld();
    // The turn's messages are done: a client that is not held back and
    // was read has paused, whatever its rate. Says kNone.
    Next Paused();
    // Prints `reason` (if any), counts `cause` and says the connection has ended.
    static bool End(const char* reason, EndCause cause);
    // Dropped, or its closing time has come: nothing more is queued.
    bool TakesNoMore() const { return dropReason_ != nullptr || closeAt_ <= clock_.Now(); }

    std::unique_ptr<CConnection> connection_;
    bool admitted_;
    // Made before its handshake was done: the handshake's time runs first.
    bool shaking_;
    bool awaitingToken_ = false;
    CIntake& intake_;
    CMemoryBudget& memory_;
    CDeadlines& clock_;
    CWorkList& busy_;
    std::vector<CClient*>* late_;
    // The last pass in which it tried a send: one a pass at most.
    unsigned sentPass_ = 0;
    CClientTimers timers_;
    // The kept output ring goes at `spareAt_` once the queue has drained.
    long long spareAt_;
    CFrameInput input_;
    const char* dropReason_;
    // Closed with a reset: the peer stopped reading.
    bool discardOnClose_;
    // When CloseBy closes it; never unless a drain set it.
    long long closeAt_ = LLONG_MAX;
    // Once it passed and the server finished sending: the peer's time to
    // close its side.
    long long finishBy_ = LLONG_MAX;
    CTokenBucket bucket_;
    // Over its rate: whole messages wait in its input.
    bool held_ = false;
    // Its credit returned: its socket (or connection) is read in its next
    // turn, whatever the readiness look says.
    bool readOwed_ = false;
};
