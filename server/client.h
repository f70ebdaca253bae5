#pragma once

#include "platform/platform.h"
#include "server/memory_budget.h"
#include "server/output_queue.h"
#include "stream/memory_stream.h"

// Idle time after which a client with nothing queued is dropped, and time
// after which one whose queued output moves not at all is dropped.
constexpr int kIdleTimeoutMs = 15000;
// Most bytes offered to one send, and asked of one receive, per pass.
constexpr int kMaxSendPerPass = 65536;
constexpr int kRecvBufferSize = 32768;
// Bound on a client's queued output: a peer that stops reading is dropped
// rather than let it grow the server without limit.
constexpr int kMaxQueuedOutput = 33554432;
// A drained output ring of up to this many runs of frames is kept for the
// next ones, so a steady stream allocates nothing. It is given back once
// nothing has been queued for a while.
constexpr int kKeptOutputRuns = 1024;
constexpr int kKeepDrainedMs = 1000;

// One accepted connection. It owns its socket and its two buffers: `input`
// holds received bytes from a frame boundary on, `output` the frames still
// to be sent. A client lives in the server's list and deletes itself from
// Tick when its connection ends; the caller of Tick must have taken `next`.
// A client can be marked to be dropped at any time (Drop); it is then
// deleted at its next turn, so a walk of the list never meets a deletion.
class CClient {
  public:
    explicit CClient(SocketHandle socket);
    ~CClient();
    CClient(const CClient&) = delete;
    CClient& operator=(const CClient&) = delete;

    // Queues `text` (up to its NUL) as one frame, whole or not at all. Null
    // and empty texts queue nothing. A frame that cannot be queued, for the
    // output bound, the memory budget or the heap, drops the client, so it
    // never sees a stream with a message missing.
    void SendText(const char* text);
    // Queues the `size` frame bytes at `at` in a block shared with other
    // clients, on the same terms. A null block is a frame the heap refused.
    void SendShared(CSharedBlock* block, int at, int size);

    // Queues the reply to "@FASTCOMMANDS": the per-port file beside the
    // program, read afresh. Missing, unreadable or empty file: no reply.
    void SendFastCommands();

    // One pass: send, count down the idle or stall time, receive (within the
    // pass's shared intake), handle whole frames. May delete this client.
    void Tick(int elapsedMs);

    // Marks the client to be dropped at its next turn with the console line
    // `reason` (then "Disconnected"), and frees its output now.
    void Drop(const char* reason);
    bool Dropping() const { return dropReason_ != nullptr; }
    // Frees the buffers of a client that has nothing queued or half received.
    void GiveBackSpare();

    // Bytes waiting to go out or to complete a frame, and the memory that
    // holds them. Shared frames count in full for every client they wait
    // for, so the total never underrates what is held.
    long long QueuedBytes() const { return static_cast<long long>(output.Size()) + input.size; }
    long long HeldBytes() const {
        return static_cast<long long>(output.Size()) + output.Capacity() + input.Capacity();
    }
    // Bytes still missing from the frame half received: just the header's
    // while that is incomplete; 0 when nothing is half received.
    int MissingBytes() const;

    SocketHandle socket;
    int idleMs;
    // Counts down while output is queued and no send takes any of it.
    int stallMs;
    // Counts down while output is empty; the kept ring goes at 0.
    int spareMs;
    CMemoryStream input;
    COutputQueue output;
    CClient* next;
    CClient* prev;
    // The pass that last ticked this client, and what that pass's readiness
    // look said of its socket (noted by the server before the ticks).
    unsigned tickedPass;
    bool mayRead;
    CMemoryBudget::Entry budget;

  private:
    void Dispatch(char* message);
    // Appends received bytes to `input`, within the budget. False when the
    // client has been deleted.
    bool StoreInput(const unsigned char* bytes, int count);
    // Sends from `output`; false when the client has been deleted.
    bool SendQueued(int elapsedMs);
    // Receives and handles frames; false when the client has been deleted.
    bool Receive();
    void DeleteNow(const char* reason);

    const char* dropReason_;
    // Closed with a reset: the peer stopped reading.
    bool discardOnClose_;
};
