#include "server/client.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "console/console.h"
#include "stream/frame.h"
#include "stream/heap.h"
#include "stream/shared_block.h"

namespace {
// One scratch area for every receive; its bytes are handled at once.
unsigned char g_recvBuffer[kRecvBufferSize];
// One gather list for every send; the frames it points at stay queued.
SendSlice g_sendSlices[kMaxSendSlices];

const char kOverflowLine[] = "Output overflow\n";

long long InputCapacityFor(const CMemoryStream& stream, int more) {
    long long mask = stream.blockSize - 1;
    return (static_cast<long long>(stream.size) + more + mask) & ~mask;
}
}  // namespace

CClient::CClient(std::unique_ptr<CConnection> connection, CClientHost& host)
    : idleMs(kIdleTimeoutMs),
      stallMs(kIdleTimeoutMs),
      spareMs(kKeepDrainedMs),
      input(1024),
      output(kKeptOutputRuns),
      next(nullptr),
      prev(nullptr),
      tickedPass(0),
      mayRead(true),
      budget(this),
      connection_(std::move(connection)),
      host_(host),
      dropReason_(nullptr),
      discardOnClose_(false) {}

CClient::~CClient() {
    connection_->Close(discardOnClose_);
    ConsolePrint("Disconnected\n");
    host_.Budget().Forget(budget);
    host_.Intake().Forget(this);
}

bool CClient::End(const char* reason) {
    if (reason != nullptr) {
        ConsolePrint("%s", reason);
    }
    return false;
}

void CClient::UpdateBudget() {
    host_.Budget().Update(budget, HeldBytes(), QueuedBytes(), dropReason_ == nullptr);
}

void CClient::Drop(const char* reason) {
    if (dropReason_ != nullptr) {
        return;
    }
    dropReason_ = reason;
    discardOnClose_ = true;  // what it has not read is lost anyway
    output.Release();
    UpdateBudget();
}

void CClient::GiveBackSpare() {
    if (output.Size() == 0) {
        output.Release();
    }
    if (input.size == 0) {
        input.SetSize(0);
    }
    UpdateBudget();
}

void CClient::SendText(const char* text) {
    if (text == nullptr || text[0] == '\0' || dropReason_ != nullptr) {
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
    if (dropReason_ != nullptr) {
        return;
    }
    CSharedBlock* block = nullptr;
    int at = 0;
    int size = 0;
    message.Frame(connection_->Encoding(), &block, &at, &size);
    SendShared(block, at, size);
}

void CClient::SendShared(CSharedBlock* block, int at, int size) {
    if (dropReason_ != nullptr) {
        return;
    }
    if (block == nullptr || output.Size() + static_cast<long long>(size) > kMaxQueuedOutput) {
        Drop(kOverflowLine);  // too long, or the heap refused it
        return;
    }
    if (!host_.MakeRoom(*this, size + output.GrowthFor(block, at))) {
        return;
    }
    if (output.Size() == 0) {
        stallMs = kIdleTimeoutMs;  // the wait for the peer starts now
        spareMs = kKeepDrainedMs;
    }
    if (!output.Push(block, at, size)) {
        Drop(kOverflowLine);  // the heap refused
        return;
    }
    UpdateBudget();
}

int CClient::MissingBytes() const {
    if (input.size == 0) {
        return 0;
    }
    if (input.size < frame::kHeaderSize) {
        return frame::kHeaderSize - input.size;
    }
    frame::CutResult cut = frame::Cut(input.data, static_cast<size_t>(input.size));
    // Only a frame still arriving is kept; anything else is cut or refused at once.
    return cut.status == frame::CutStatus::kNeedMore ? cut.length + frame::kHeaderSize - input.size
                                                     : 0;
}

bool CClient::Tick(int elapsedMs) {
    if (dropReason_ != nullptr) {
        return End(dropReason_);
    }
    if (!SendQueued(elapsedMs)) {
        return false;
    }
    // A client is only idle while nothing waits to go out to it.
    if (output.Size() == 0) {
        idleMs -= elapsedMs;
        if (idleMs <= 0) {
            return End("TIMEOUT\n");
        }
        spareMs -= elapsedMs;
        if (spareMs <= 0 && output.Capacity() > 0) {
            output.Release();
            UpdateBudget();
        }
    }
    // The pass's readiness look saw nothing for this socket: skipping it is
    // what a receive finding nothing waiting would have done.
    return !mayRead || Receive();
}

bool CClient::SendQueued(int elapsedMs) {
    if (output.Size() == 0) {
        return true;
    }
    int pieces = output.Gather(g_sendSlices, kMaxSendSlices, kMaxSendPerPass);
    int sent = connection_->Send(g_sendSlices, pieces);
    if (sent == kIoError) {
        return End(nullptr);
    }
    if (sent <= 0) {
        // A peer that takes nothing at all for the whole time is gone in all
        // but name; one that drains slowly keeps its place.
        stallMs -= elapsedMs;
        if (stallMs <= 0) {
            discardOnClose_ = true;
            return End("TIMEOUT\n");
        }
        return true;
    }
    stallMs = kIdleTimeoutMs;
    output.Consume(sent);
    UpdateBudget();
    return true;
}

bool CClient::StoreInput(const unsigned char* bytes, int count) {
    long long growth = InputCapacityFor(input, count) - input.Capacity();
    if (growth > 0) {
        host_.MakeRoom(*this, growth);
    }
    if (dropReason_ != nullptr) {
        return End(dropReason_);
    }
    input.Seek(0, 2);
    if (input.Write(bytes, count) != count) {
        // The stream would be out of step with the peer from here on.
        return End(nullptr);
    }
    UpdateBudget();
    return true;
}

bool CClient::Receive() {
    CIntake& intake = host_.Intake();
    int allowance = intake.Allowance(this, input.size, MissingBytes(), kRecvBufferSize);
    if (allowance <= 0) {
        // Its bytes wait in the kernel for its next turn: that is no idleness.
        idleMs = kIdleTimeoutMs;
        return true;
    }
    int received = connection_->Receive(g_recvBuffer, allowance);
    if (received == 0 || received == kIoError) {
        return End(nullptr);
    }
    intake.Took(this, received > 0 ? received : 0);
    if (received < 0) {
        return true;
    }
    idleMs = kIdleTimeoutMs;

    // Frames are cut straight from the receive when nothing was pending, and
    // from the input otherwise; what is consumed leaves in one move at the end.
    const unsigned char* bytes = g_recvBuffer;
    int available = received;
    if (input.size > 0) {
        if (!StoreInput(g_recvBuffer, received)) {
            return false;
        }
        bytes = input.data;
        available = input.size;
    }
    int offset = 0;
    while (dropReason_ == nullptr) {
        frame::CutResult cut = frame::Cut(bytes + offset, static_cast<size_t>(available - offset));
        if (cut.status == frame::CutStatus::kBadLength) {
            return End("Invalid msg size\n");
        }
        if (cut.status == frame::CutStatus::kNeedMore) {
            break;
        }
        int length = cut.length;
        idleMs = kIdleTimeoutMs;
        intake.FinishedFrame(this);
        char* message = static_cast<char*>(HeapRealloc(nullptr, static_cast<size_t>(length) + 1));
        if (message != nullptr) {
            std::memcpy(message, bytes + offset + frame::kHeaderSize, static_cast<size_t>(length));
            message[length] = '\0';
        }
        offset += length + frame::kHeaderSize;
        // Without memory for it the message is dropped; the stream stays in step.
        if (message != nullptr) {
            host_.OnMessage(*this, message);
        }
    }
    if (dropReason_ != nullptr) {
        // Dropped while its messages were handled: the rest goes with it.
        return End(dropReason_);
    }
    if (bytes == g_recvBuffer) {
        return offset == available || StoreInput(g_recvBuffer + offset, available - offset);
    }
    if (offset > 0) {
        ConsumeFront(input, offset);
        UpdateBudget();
    }
    return true;
}
