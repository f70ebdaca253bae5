#include "websocket/websocket_connection.h"

#include <wslay/wslay.h>

#include <climits>
#include <cstring>
#include <utility>

#include "connection/encoding.h"
#include "connection/tcp_connection.h"
#include "stream/frame.h"
#include "websocket/handshake.h"

namespace {
// One scratch area for every receive of raw bytes; they are decoded at once.
unsigned char g_raw[65536];

// The longest message, as for a TCP client's frame.
constexpr unsigned long long kMaxMessage = frame::kMaxPayload;
// Fragments of one message: enough for any honest sender, few enough that
// empty fragments cannot keep a message open for ever.
constexpr int kMaxFragments = 4096;
// Control answers (pongs) waiting for a peer that does not read them.
constexpr std::size_t kMaxQueuedControl = 64;
// What a close waits for at most: the rest of a peer's last message.
constexpr int kDrainReads = 16;

constexpr int kCloseGoingAway = 1001;
constexpr int kClosePolicy = 1008;
constexpr int kCloseTooBig = 1009;
constexpr int kCloseInternal = 1011;
constexpr int kCloseRestart = 1012;

CWebSocketConnection* Self(void* user) {
    return static_cast<CWebSocketConnection*>(user);
}

ssize_t OnRecv(wslay_event_context_ptr ctx, uint8_t* buffer, size_t length, int, void* user) {
    long got = Self(user)->RecvCallback(buffer, length);
    if (got < 0) {
        wslay_event_set_error(ctx, WSLAY_ERR_WOULDBLOCK);
    }
    return got;
}

ssize_t OnSend(wslay_event_context_ptr ctx, const uint8_t* data, size_t length, int, void* user) {
    long sent = Self(user)->SendCallback(data, length);
    if (sent < 0) {
        wslay_event_set_error(
            ctx, sent == kIoWouldBlock ? WSLAY_ERR_WOULDBLOCK : WSLAY_ERR_CALLBACK_FAILURE);
        return -1;
    }
    return sent;
}

void OnFrameStart(wslay_event_context_ptr, const wslay_event_on_frame_recv_start_arg* arg,
                  void* user) {
    Self(user)->FrameStart(arg->fin != 0, arg->opcode, arg->payload_length);
}

void OnFrameChunk(wslay_event_context_ptr, const wslay_event_on_frame_recv_chunk_arg* arg,
                  void* user) {
    Self(user)->FrameChunk(arg->data, arg->data_length);
}

void OnFrameEnd(wslay_event_context_ptr, void* user) {
    Self(user)->FrameEnd();
}
}  // namespace

CWebSocketConnection::CWebSocketConnection(std::unique_ptr<CConnection> transport,
                                           const std::vector<std::string>& origins,
                                           bool resumingPage)
    : transport_(std::move(transport)),
      origins_(origins),
      resumingPage_(resumingPage),
      closeCode_(kCloseGoingAway) {}

CWebSocketConnection::CWebSocketConnection(SocketHandle socket,
                                           const std::vector<std::string>& origins,
                                           bool resumingPage)
    : CWebSocketConnection(std::unique_ptr<CConnection>(new CTcpConnection(socket)), origins,
                           resumingPage) {}

int CWebSocketConnection::ReceiveRaw(void* buffer, int length) {
    return closed_ ? kIoError : transport_->Receive(buffer, length);
}

int CWebSocketConnection::SendRaw(const void* data, int length) {
    SendSlice slice{data, length};
    return closed_ ? kIoError : transport_->Send(&slice, 1);
}

CWebSocketConnection::~CWebSocketConnection() {
    Close(false);
    if (ctx_ != nullptr) {
        wslay_event_context_free(ctx_);
    }
}

const CEncoding& CWebSocketConnection::Encoding() const {
    return WebSocketEncoding();
}

bool CWebSocketConnection::Pending() const {
    // What the transport holds (decrypted TLS records) needs a receive too.
    if (transport_->Pending()) {
        return true;
    }
    switch (state_) {
        case kRequest:
            return false;
        case kReplying:
        case kDone:
            return true;
        case kOpen:
            break;
    }
    return decoded_.Ready() > 0 || !early_.empty() || ending_;
}

int CWebSocketConnection::Receive(void* buffer, int length) {
    switch (state_) {
        case kRequest:
            return ReadRequest();
        case kReplying:
            return SendReply();
        case kDone:
            return 0;
        case kOpen:
            break;
    }
    if (decoded_.Ready() == 0 && !ending_) {
        if (!early_.empty()) {
            std::string early;
            early.swap(early_);
            Decode(reinterpret_cast<const unsigned char*>(early.data()),
                   static_cast<int>(early.size()));
        } else {
            int room = length < static_cast<int>(sizeof g_raw) ? length : sizeof g_raw;
            int got = ReceiveRaw(g_raw, room);
            if (got <= 0) {
                return got;  // closed, nothing waiting, or broken
            }
            Decode(g_raw, got);
        }
        if (!FlushControl() && brokenWrite_) {
            return kIoError;
        }
    }
    if (decoded_.Ready() > 0) {
        return decoded_.Take(buffer, length);
    }
    // A close (sent or received) with every message handed over: the end,
    // once a close that waits for the end of a data frame has gone out.
    return ending_ && !CloseWaits() ? 0 : kIoWouldBlock;
}

bool CWebSocketConnection::Decode(const unsigned char* bytes, int length) {
    if (ctx_ == nullptr && !StartWebSocket()) {
        return false;
    }
    if (ending_) {
        return false;
    }
    raw_ = bytes;
    rawLeft_ = static_cast<std::size_t>(length);
    if (wslay_event_recv(ctx_) != 0) {
        ending_ = true;  // out of memory: nothing more can be read
    }
    rawLeft_ = 0;
    if (!wslay_event_get_read_enabled(ctx_)) {
        ending_ = true;  // a close came, or the peer broke the protocol
    }
    if (!ending_ && wslay_event_get_queued_msg_count(ctx_) > kMaxQueuedControl) {
        Fail(kClosePolicy);  // pings faster than it reads the pongs
    }
    return !ending_;
}

long CWebSocketConnection::RecvCallback(unsigned char* buffer, std::size_t length) {
    if (rawLeft_ == 0) {
        return -1;
    }
    std::size_t n = length < rawLeft_ ? length : rawLeft_;
    std::memcpy(buffer, raw_, n);
    raw_ += n;
    rawLeft_ -= n;
    return static_cast<long>(n);
}

long CWebSocketConnection::SendCallback(const unsigned char* data, std::size_t length) {
    int n = length > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
    int sent = SendRaw(data, n);
    controlMidWrite_ = !closed_ && transport_->WritePending();
    return sent;
}

void CWebSocketConnection::FrameStart(bool fin, int opcode, unsigned long long length) {
    control_ = (opcode & 0x8) != 0;
    if (ending_ || control_) {
        return;
    }
    fin_ = fin;
    if (opcode != WSLAY_CONTINUATION_FRAME) {
        messageBytes_ = 0;
        fragments_ = 0;
    }
    // Checked from the header, before any of its payload is kept: too
    // long is refused at once.
    if (length > kMaxMessage - messageBytes_) {
        if (DecodedRoom(frame::kHeaderSize)) {
            decoded_.Refuse(messageBytes_ + length);
        }
        Fail(kCloseTooBig);
        return;
    }
    if (++fragments_ > kMaxFragments) {
        Fail(kClosePolicy);
        return;
    }
    // A binary frame's bytes are handed over as they come; a text message
    // waits for the last UTF-8 check, made before the end of its last frame.
    bool streamed = fin && opcode == WSLAY_BINARY_FRAME;
    if (opcode != WSLAY_CONTINUATION_FRAME &&
        (!DecodedRoom(frame::kHeaderSize) ||
         !decoded_.Begin(streamed ? static_cast<long long>(length) : -1))) {
        Fail(kCloseInternal);
        return;
    }
    messageBytes_ += length;
}

void CWebSocketConnection::FrameChunk(const unsigned char* data, std::size_t length) {
    if (ending_ || control_ || length == 0) {
        return;
    }
    if (!DecodedRoom(length) || !decoded_.Append(data, length)) {
        Fail(kCloseInternal);
    }
}

bool CWebSocketConnection::DecodedRoom(std::size_t more) {
    return Grant(static_cast<long long>(decoded_.GrowthFor(more))) && decoded_.Reserve(more);
}

bool CWebSocketConnection::RequestRoom(std::size_t more) {
    std::size_t need = request_.size() + more;
    if (need <= request_.capacity()) {
        return true;
    }
    std::size_t want = 1024;
    while (want < need) {
        want *= 2;
    }
    if (!Grant(static_cast<long long>(want - request_.capacity()))) {
        return false;
    }
    request_.reserve(want);
    return true;
}

void CWebSocketConnection::FrameEnd() {
    if (ending_ || control_) {
        return;
    }
    if (fin_) {
        decoded_.Finish();
    }
}

void CWebSocketConnection::Discard() {
    transport_->Discard();
    decoded_.Clear();
    outgoing_.Clear();
    std::string().swap(request_);
    std::string().swap(early_);
    ending_ = true;  // nothing more is decoded
}

void CWebSocketConnection::SayRestarting() {
    closeCode_ = kCloseRestart;
}

void CWebSocketConnection::Fail(int code) {
    if (ctx_ != nullptr) {
        wslay_event_queue_close(ctx_, static_cast<uint16_t>(code), nullptr, 0);
        wslay_event_shutdown_read(ctx_);
    }
    ending_ = true;
}

bool CWebSocketConnection::StartWebSocket() {
    wslay_event_callbacks callbacks = {OnRecv,       OnSend,     nullptr, OnFrameStart,
                                       OnFrameChunk, OnFrameEnd, nullptr};
    if (wslay_event_context_server_init(&ctx_, &callbacks, this) != 0) {
        ctx_ = nullptr;
        return false;
    }
    // Messages are put together here, as length frames; wslay keeps only
    // control frames. Their size is checked here as well.
    wslay_event_config_set_no_buffering(ctx_, 1);
    wslay_event_config_set_max_recv_msg_length(ctx_, ~0ull >> 1);
    return true;
}

bool CWebSocketConnection::BetweenFrames() const {
    return outgoing_.AtBoundary() && (controlMidWrite_ || !transport_->WritePending());
}

bool CWebSocketConnection::FlushControl() {
    if (ctx_ == nullptr || !BetweenFrames()) {
        return true;  // a data frame, or a record of one, is half sent: it goes
                      // first
    }
    if (!wslay_event_want_write(ctx_)) {
        return true;
    }
    if (wslay_event_send(ctx_) != 0) {
        brokenWrite_ = true;
        return false;
    }
    return !wslay_event_want_write(ctx_);
}

bool CWebSocketConnection::CloseWaits() const {
    if (ctx_ == nullptr || closed_ || brokenWrite_ || !wslay_event_get_write_enabled(ctx_)) {
        return false;
    }
    // Between two frames it has been tried already, as every send ends
    // with a try: what the socket did not take of it is not waited for.
    return wslay_event_want_write(ctx_) && !BetweenFrames();
}

int CWebSocketConnection::Send(const SendSlice* slices, int count) {
    if (state_ != kOpen) {
        return kIoWouldBlock;
    }
    if (!FlushControl()) {
        return brokenWrite_ ? kIoError : kIoWouldBlock;
    }
    if (!wslay_event_get_write_enabled(ctx_)) {
        return kIoWouldBlock;  // a close went out: nothing may follow it
    }
    int sent = closed_ ? kIoError : transport_->Send(slices, count);
    if (sent > 0) {
        outgoing_.Sent(static_cast<std::uint64_t>(sent));
        FlushControl();  // a pong that waited for the end of a frame
    }
    return sent;
}

bool CWebSocketConnection::FrameQueued(int bytes) {
    return Grant(static_cast<long long>(outgoing_.GrowthForOne())) &&
           outgoing_.Queue(static_cast<std::uint32_t>(bytes));
}

int CWebSocketConnection::ReadRequest() {
    std::size_t room = kMaxRequestBytes - request_.size();
    if (room > sizeof g_raw) {
        room = sizeof g_raw;
    }
    int got = ReceiveRaw(g_raw, static_cast<int>(room));
    if (got <= 0) {
        return got;
    }
    if (!RequestRoom(static_cast<std::size_t>(got))) {
        return kIoWouldBlock;  // refused: the budget drops this client
    }
    request_.append(reinterpret_cast<const char*>(g_raw), static_cast<std::size_t>(got));
    CHandshakeResult result =
        ReadHandshake(request_.data(), request_.size(), origins_, resumingPage_, accept_);
    if (result.kind == CHandshakeResult::kIncomplete) {
        return kIoWouldBlock;
    }
    upgrade_ = result.kind == CHandshakeResult::kUpgrade;
    if (upgrade_) {
        // What came behind the request stays in the request's memory, which
        // the budget has counted already.
        request_.erase(0, result.consumed);
        early_.swap(request_);
        if (early_.empty()) {
            std::string().swap(early_);
        }
        if (!StartWebSocket()) {
            return kIoError;
        }
    }
    std::string().swap(request_);
    reply_ = result.reply;
    replyLength_ = result.replyLength;
    replyAt_ = 0;
    state_ = kReplying;
    return SendReply();
}

int CWebSocketConnection::SendReply() {
    std::size_t left = replyLength_ - replyAt_;
    int n = left > 65536 ? 65536 : static_cast<int>(left);
    int sent = n > 0 ? SendRaw(reply_ + replyAt_, n) : 0;
    if (sent < 0) {
        return sent;
    }
    replyAt_ += static_cast<std::size_t>(sent);
    if (replyAt_ < replyLength_) {
        return kIoWouldBlock;
    }
    if (upgrade_) {
        state_ = kOpen;
        std::string().swap(accept_);
        return kIoWouldBlock;
    }
    state_ = kDone;  // the page or an error: answered, and closed
    return 0;
}

void CWebSocketConnection::Drain() {
    for (int i = 0; i < kDrainReads; ++i) {
        if (ReceiveRaw(g_raw, sizeof g_raw) <= 0) {
            return;
        }
    }
}

bool CWebSocketConnection::FinishSending() {
    if (closed_ || state_ != kOpen || ctx_ == nullptr || ending_ || brokenWrite_ ||
        !BetweenFrames() || !wslay_event_get_write_enabled(ctx_)) {
        return false;
    }
    // Our close goes now; messages keep being read until the peer's close
    // comes back, and then Receive says 0.
    wslay_event_queue_close(ctx_, static_cast<uint16_t>(closeCode_), nullptr, 0);
    return FlushControl() || !brokenWrite_;
}

void CWebSocketConnection::Close(bool discard) {
    if (closed_) {
        return;
    }
    if (discard) {
        transport_->Close(true);
        closed_ = true;
        return;
    }
    Drain();
    if (state_ == kRequest) {
        // Cut off before its request was whole (the handshake's time-out,
        // a shutdown): told so, as far as the socket takes it at once.
        const std::string& answer = RequestTimeoutAnswer();
        SendRaw(answer.data(), static_cast<int>(answer.size()));
    }
    if (state_ == kOpen && ctx_ != nullptr && !brokenWrite_ && BetweenFrames() &&
        wslay_event_get_write_enabled(ctx_)) {
        // Ends the session in the protocol's way: ours goes (a time-out, a
        // shutdown), or one queued already (an answer, an error).
        wslay_event_queue_close(ctx_, static_cast<uint16_t>(closeCode_), nullptr, 0);
        wslay_event_send(ctx_);
    }
    transport_->Close(false);
    closed_ = true;
}
