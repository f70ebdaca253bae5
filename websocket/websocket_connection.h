#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "connection/connection.h"
#include "websocket/decoded_frames.h"
#include "websocket/outgoing_frames.h"

struct wslay_event_context;

// A WebSocket client (RFC 6455) over a byte transport: plain TCP, or TLS
// for wss://, whose handshake comes first. It first reads one HTTP
// request: an upgrade on "/" becomes a WebSocket, a plain GET of "/" gets
// the chat page, anything else an HTTP error; both of those end the
// connection once answered. Frames from the client are decoded by wslay and
// handed to the client as length frames; control frames are answered here.
// A text message is handed over only once its UTF-8 is known to be whole.
// What it holds of a request or a message grows as the bytes come, each
// step granted by the memory budget first. The server's frames come ready
// from the WebSocket encoding, each announced as it is queued.
class CWebSocketConnection final : public CConnection {
  public:
    // `origins`: the pages that may open a WebSocket; empty allows any.
    // `resumingPage`: the chat page served resumes (the server keeps a
    // resume window).
    CWebSocketConnection(std::unique_ptr<CConnection> transport,
                         const std::vector<std::string>& origins, bool resumingPage);
    // Over plain TCP on `socket`.
    CWebSocketConnection(SocketHandle socket, const std::vector<std::string>& origins,
                         bool resumingPage);
    ~CWebSocketConnection() override;
    CWebSocketConnection(const CWebSocketConnection&) = delete;
    CWebSocketConnection& operator=(const CWebSocketConnection&) = delete;

    SocketHandle Socket() const override { return transport_->Socket(); }
    int Receive(void* buffer, int length) override;
    int Send(const SendSlice* slices, int count) override;
    bool FrameQueued(int bytes) override;
    void Close(bool discard) override;
    bool FinishSending() override;
    const CEncoding& Encoding() const override;
    bool Established() const override { return state_ == kOpen; }
    bool Pending() const override;
    long long HeldBytes() const override {
        return static_cast<long long>(request_.capacity() + early_.capacity() +
                                      decoded_.Capacity() + outgoing_.Capacity()) +
               transport_->HeldBytes();
    }
    long long QueuedBytes() const override {
        return static_cast<long long>(request_.size() + early_.size() + decoded_.Held());
    }
    void GiveBackSpare() override {
        decoded_.GiveBackSpare();
        outgoing_.GiveBackSpare();
    }
    void Discard() override;
    void SayRestarting() override;

    // What its bytes go through: for what only the transport knows (the
    // TLS client certificate).
    const CConnection& Transport() const { return *transport_; }

    // Feeds raw bytes to the decoder as if they had been received: for the
    // fuzzer and the tests. Returns false once the connection is ending.
    bool Decode(const unsigned char* bytes, int length);

    // wslay's callbacks.
    long RecvCallback(unsigned char* buffer, std::size_t length);
    long SendCallback(const unsigned char* data, std::size_t length);
    void FrameStart(bool fin, int opcode, unsigned long long length);
    void FrameChunk(const unsigned char* data, std::size_t length);
    void FrameEnd();

  private:
    enum State { kRequest, kReplying, kOpen, kDone };
    int ReadRequest();
    int SendReply();
    bool StartWebSocket();
    // Whether a control frame may go out now: between two data frames,
    // with no record of one half written inside the transport.
    bool BetweenFrames() const;
    // Sends the control frames wslay has queued, when between two data
    // frames. False when data must wait: one is still going out.
    bool FlushControl();
    // Whether a close waits for the end of a data frame, which the
    // client's queue still holds and its sends finish.
    bool CloseWaits() const;
    // Ends the session with a close frame carrying `code`.
    void Fail(int code);
    // Reads and discards what the peer has sent, so that closing the
    // socket does not reset the connection before the close frame is read.
    void Drain();

    // Room for `more` decoded bytes, granted by the budget first.
    bool DecodedRoom(std::size_t more);
    // Room in the request for `more` bytes, granted by the budget first.
    bool RequestRoom(std::size_t more);

    // Bytes go through it as they are: the frames are this class's.
    int ReceiveRaw(void* buffer, int length);
    int SendRaw(const void* data, int length);

    std::unique_ptr<CConnection> transport_;
    bool closed_ = false;
    const std::vector<std::string>& origins_;
    const bool resumingPage_;
    State state_ = kRequest;
    std::string request_;
    std::string accept_;  // the 101 answer
    const char* reply_ = nullptr;
    std::size_t replyLength_ = 0;
    std::size_t replyAt_ = 0;
    bool upgrade_ = false;
    // Bytes that came right behind the upgrade request.
    std::string early_;

    wslay_event_context* ctx_ = nullptr;
    const unsigned char* raw_ = nullptr;
    std::size_t rawLeft_ = 0;
    bool ending_ = false;
    // The code of the close this side sends when it closes.
    int closeCode_;
    bool brokenWrite_ = false;
    // What the transport holds half written is a control frame's: it goes
    // on before anything else.
    bool controlMidWrite_ = false;
    // The frame being received: a control frame, or part of a message.
    bool control_ = false;
    bool fin_ = false;
    unsigned long long messageBytes_ = 0;
    int fragments_ = 0;
    CDecodedFrames decoded_;
    COutgoingFrames outgoing_;
};
