#pragma once

#include "platform/platform.h"
#include "stream/memory_stream.h"

// Idle time after which a client with nothing queued is dropped.
constexpr int kIdleTimeoutMs = 15000;
// Most bytes offered to one send, and asked of one receive, per pass.
constexpr int kMaxSendPerPass = 65536;
constexpr int kRecvBufferSize = 32768;
// Bound on a client's queued output: a peer that stops reading is dropped
// rather than let it grow the server without limit.
constexpr int kMaxQueuedOutput = 33554432;

// One accepted connection. It owns its socket and its two streams: `input`
// holds received bytes from a frame boundary on, `output` the frames still
// to be sent. A client lives in the server's list and deletes itself from
// Tick when its connection ends; the caller of Tick must have taken `next`.
class CClient {
  public:
    explicit CClient(SocketHandle socket);
    ~CClient();
    CClient(const CClient&) = delete;
    CClient& operator=(const CClient&) = delete;

    // Queues `text` (up to its NUL) as one frame, whole or not at all. Null
    // and empty texts queue nothing. A frame that cannot be queued, for the
    // output bound or for memory, marks the client to be dropped at its next
    // turn, so it never sees a stream with a message missing.
    void SendText(const char* text);

    // Queues the reply to "@FASTCOMMANDS": the per-port file beside the
    // program, read afresh. Missing, unreadable or empty file: no reply.
    void SendFastCommands();

    // One pass: send, count down the idle time, receive, handle whole
    // frames. May delete this client.
    void Tick(int elapsedMs);

    SocketHandle socket;
    int idleMs;
    CMemoryStream input;
    CMemoryStream output;
    CClient* next;
    CClient* prev;
    // Set when a frame could not be queued; the client is dropped next turn.
    bool overflowed;

  private:
    void Dispatch(char* message);
};
