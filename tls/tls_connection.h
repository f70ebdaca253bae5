#pragma once

#include <memory>

#include "connection/connection.h"
#include "policy/handshake_budget.h"
#include "tls/tls_heap.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

// TLS over an accepted socket, through the platform's Recv and Send, so
// that it runs on the fake platform as on the system's. The handshake runs
// inside Receive, one step whenever the socket has something; the frames
// are the plain length frames, inside the TLS records. A send packs what
// the queue lends into one buffer and encrypts it as records; a record
// that the socket did not take is offered again with the same bytes.
class CTlsConnection final : public CConnection {
  public:
    // A server connection on `socket` (which it owns from now on) with the
    // credentials of `context`, its handshake steps taken from `handshakes`
    // (which outlives it); null, with the socket closed, when OpenSSL
    // cannot make one.
    static std::unique_ptr<CTlsConnection> Accept(SSL_CTX* context, CHandshakeBudget& handshakes,
                                                  SocketHandle socket);
    ~CTlsConnection() override;
    CTlsConnection(const CTlsConnection&) = delete;
    CTlsConnection& operator=(const CTlsConnection&) = delete;

    SocketHandle Socket() const override { return socket_; }
    int Receive(void* buffer, int length) override;
    int Send(const SendSlice* slices, int count) override;
    void Close(bool discard) override;
    bool FinishSending() override;
    const CEncoding& Encoding() const override { return LengthFrameEncoding(); }
    bool Established() const override { return established_; }
    bool Pending() const override;
    bool WritePending() const override { return retrying_; }
    // What OpenSSL holds for it: its state, and its buffers while in use.
    // Once its client is dropped, it is as good as freed (at its next turn).
    long long HeldBytes() const override { return discarded_ ? 0 : heap_.Bytes(); }
    void Discard() override { discarded_ = true; }

    // Whether the certificate its client was let in with still verifies
    // against the client CAs of `context`, as a handshake with it would
    // check it: at once when its handshake was made with `context`. True
    // while the handshake is under way (it is judged when done).
    bool VouchedFor(SSL_CTX* context) const;

    // For the socket layer below OpenSSL.
    int SocketRead(char* buffer, int length);
    int SocketWrite(const char* data, int length);

  private:
    // Charges the connection with what OpenSSL's calls in its scope left
    // allocated. No room is asked for inside a call: the budget makes it
    // once a pass.
    class CChargeScope {
      public:
        explicit CChargeScope(CTlsHeapCharge& heap) : heap_(heap) { heap_.Begin(); }
        ~CChargeScope() { heap_.End(); }

      private:
        CTlsHeapCharge& heap_;
    };

    CTlsConnection(SSL* ssl, CHandshakeBudget& handshakes, SocketHandle socket);
    // One handshake step: kIoWouldBlock while under way (also once done),
    // 0 when the peer left, kIoError when it failed (its line printed).
    int Handshake();
    // What a failed OpenSSL call means for the connection.
    int Failure(int result, bool handshaking);

    SSL* ssl_;
    CHandshakeBudget& handshakes_;
    SocketHandle socket_;
    bool established_;
    // The socket said the peer closed, or broke.
    bool peerClosed_;
    bool broken_;
    // It needs a turn that nothing on the socket would announce: OpenSSL
    // must write before it can go on (a handshake message the socket did
    // not take), or the pass's handshake budget ran out before its step.
    bool wantsTurn_;
    // A record was left half sent: the next send offers its bytes again.
    bool retrying_;
    CTlsHeapCharge heap_;
    bool discarded_ = false;
};
