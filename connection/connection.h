#pragma once

#include "connection/encoding.h"
#include "platform/platform.h"

// Closes `socket` once, with a reset when `discard`, and marks it closed:
// what every kind of connection does last.
inline void CloseSocketOnce(SocketHandle& socket, bool discard) {
    if (socket == INVALID_SOCKET) {
        return;
    }
    if (discard) {
        Platform().AbortSocket(socket);
    } else {
        Platform().CloseSocket(socket);
    }
    socket = INVALID_SOCKET;
}

// Asked by a connection before it holds more memory for its client, so that
// what it keeps goes through the memory budget like the client's buffers.
// False when the room cannot be made: the client is being dropped for it.
class CMemoryGrant {
  public:
    virtual bool Grant(long long bytes) = 0;

  protected:
    ~CMemoryGrant() {}
};

// A client's transport: how its bytes come and go. The client, the relay,
// the intake and the budget see only this, so a new kind of connection
// (TLS, WebSocket) is a new implementation and nothing else. Whatever the
// kind, received bytes come out as length frames, and what is sent is
// framed by the connection's encoding.
class CConnection {
  public:
    virtual ~CConnection() {}

    // The socket whose readiness the server watches.
    virtual SocketHandle Socket() const = 0;
    // Bytes received (> 0), 0 when the peer closed, kIoWouldBlock or kIoError.
    virtual int Receive(void* buffer, int length) = 0;
    // Sends the pieces in order as one stream of bytes: bytes taken (> 0),
    // kIoWouldBlock or kIoError. The bytes are the frames queued, in order.
    virtual int Send(const SendSlice* slices, int count) = 0;
    // Told of each frame as it is queued to go out, with its size on the
    // wire: a kind that puts frames of its own between them (a WebSocket's
    // pongs and close) knows from this where each ends. False when it
    // cannot keep count (the budget or the heap refused): the client goes.
    virtual bool FrameQueued(int /*bytes*/) { return true; }
    // Closes the connection; `discard` closes with a reset, dropping what
    // the system still holds to send (a peer that stopped reading).
    virtual void Close(bool discard) = 0;
    virtual const CEncoding& Encoding() const = 0;
    // Whether messages flow yet. A kind with a handshake of its own (TLS,
    // a WebSocket upgrade) says false until it is done, and drives it in
    // Receive; the client is let into the room only once this is true.
    virtual bool Established() const { return true; }
    // Whether it has work that no readiness of its socket would announce:
    // bytes taken from the socket and not handed out yet (decrypted TLS
    // records, decoded WebSocket messages), a reply still to finish, or a
    // handshake step waiting to write or for its pass's share of
    // handshakes. Such a connection gets a turn, with a receive, in every
    // pass while it says so, within the same intake.
    virtual bool Pending() const { return false; }
    // Whether the last send left a write half done inside the connection (a
    // TLS record the socket took only part of): the next send must begin
    // with the same bytes, so nothing else may be written before them.
    virtual bool WritePending() const { return false; }
    // Memory the connection holds for the client beyond the socket: a
    // request being read, a message being put together. Counted in the
    // memory budget with the client's own buffers.
    virtual long long HeldBytes() const { return 0; }
    // Of that, the bytes of a request or messages not handed over yet: they
    // count as queued, so the budget drops their holder rather than wait.
    virtual long long QueuedBytes() const { return 0; }
    // Frees what is kept only for later messages.
    virtual void GiveBackSpare() {}
    // Frees all it holds of requests and messages not handed over: its
    // client is being dropped, so they never will be.
    virtual void Discard() {}
    // The coming Close is for a restart of the server: a kind that can tell
    // its peer so (a WebSocket's close code) says that instead of going away.
    virtual void SayRestarting() {}
    // The server is done sending: tells the peer so in the connection's own
    // way (a FIN, a TLS close_notify, a WebSocket close) once what was sent
    // has gone, and keeps receiving what the peer still sends until it
    // closes too (Receive says 0). False when it cannot: then it is closed.
    virtual bool FinishSending() { return false; }
    // Where it asks before it holds more; null: it need not ask.
    void SetMemoryGrant(CMemoryGrant* grant) { grant_ = grant; }

  protected:
    bool Grant(long long bytes) { return bytes <= 0 || grant_ == nullptr || grant_->Grant(bytes); }

  private:
    CMemoryGrant* grant_ = nullptr;
};
