#include "server/client.h"

#include <cstdlib>
#include <cstring>

#include "server/console.h"
#include "server/room.h"
#include "server/server.h"
#include "stream/frame.h"
#include "stream/heap.h"

namespace {
// One scratch area for every receive; its bytes go to a client's input at once.
unsigned char g_recvBuffer[kRecvBufferSize];
}  // namespace

void ConsumeFront(CMemoryStream& stream, int count) {
    int remaining = stream.size - count;
    if (remaining > 0) {
        std::memmove(stream.data, stream.data + count, static_cast<size_t>(remaining));
    }
    // The bytes have already moved, so a shrink the heap refuses must not
    // leave the old size behind: the larger buffer is kept and stays valid.
    if (!stream.SetSize(remaining)) {
        stream.size = remaining;
    }
    stream.position = 0;
}

CClient::CClient(SocketHandle socket)
    : socket(socket),
      idleMs(kIdleTimeoutMs),
      input(1024),
      output(1024),
      next(nullptr),
      prev(nullptr),
      overflowed(false) {}

CClient::~CClient() {
    if (socket != INVALID_SOCKET) {
        Platform().CloseSocket(socket);
        socket = INVALID_SOCKET;
        ConsolePrint("Disconnected\n");
    }
    if (next != nullptr) {
        next->prev = prev;
    }
    if (prev != nullptr) {
        prev->next = next;
    }
    if (g_server.clients == this) {
        g_server.clients = next;
    }
}

void CClient::SendText(const char* text) {
    if (text == nullptr || text[0] == '\0' || overflowed) {
        return;
    }
    size_t length = std::strlen(text);
    // Sizes are checked in 64 bits so that no length can wrap the sums.
    long long total =
        static_cast<long long>(output.size) + frame::kHeaderSize + static_cast<long long>(length);
    int oldSize = output.size;
    if (total > kMaxQueuedOutput || !output.SetSize(static_cast<int>(total))) {
        overflowed = true;
        return;
    }
    frame::EncodeLength(static_cast<std::int32_t>(length), output.data + oldSize);
    std::memcpy(output.data + oldSize + frame::kHeaderSize, text, length);
    output.position = output.size;
}

void CClient::Tick(int elapsedMs) {
    if (overflowed) {
        ConsolePrint("Output overflow\n");
        delete this;
        return;
    }

    if (output.size > 0) {
        int chunk = output.size < kMaxSendPerPass ? output.size : kMaxSendPerPass;
        int sent = Platform().Send(socket, output.data, chunk);
        if (sent > 0) {
            ConsumeFront(output, sent);
        } else if (sent == kIoError) {
            delete this;
            return;
        }
    }

    // A client is only idle while nothing waits to go out to it.
    if (output.size == 0) {
        idleMs -= elapsedMs;
        if (idleMs <= 0) {
            ConsolePrint("TIMEOUT\n");
            delete this;
            return;
        }
    }

    // The pass's readiness look saw nothing for this socket: skipping it is
    // what a receive finding nothing waiting would have done.
    if (!Platform().MayRead(socket)) {
        return;
    }
    int received = Platform().Recv(socket, g_recvBuffer, kRecvBufferSize);
    if (received == 0 || received == kIoError) {
        delete this;
        return;
    }
    if (received < 0) {
        return;
    }
    idleMs = kIdleTimeoutMs;
    input.Seek(0, 2);
    if (input.Write(g_recvBuffer, received) != received) {
        // The stream would be out of step with the peer from here on.
        delete this;
        return;
    }

    for (;;) {
        frame::CutResult cut = frame::Cut(input.data, static_cast<size_t>(input.size));
        if (cut.status == frame::CutStatus::kBadLength) {
            ConsolePrint("Invalid msg size\n");
            delete this;
            return;
        }
        if (cut.status == frame::CutStatus::kNeedMore) {
            break;
        }
        int length = cut.length;
        idleMs = kIdleTimeoutMs;
        char* message = static_cast<char*>(HeapRealloc(nullptr, static_cast<size_t>(length) + 1));
        if (message != nullptr) {
            std::memcpy(message, input.data + frame::kHeaderSize, static_cast<size_t>(length));
            message[length] = '\0';
        }
        ConsumeFront(input, length + frame::kHeaderSize);
        // Without memory for it the message is dropped; the stream stays in step.
        if (message != nullptr) {
            Dispatch(message);
        }
    }
}

void CClient::Dispatch(char* message) {
    if (std::strcmp(message, "@PING") == 0) {
        ConsolePrint("@PING\n");
        SendText("@PING");
        std::free(message);
    } else if (std::strcmp(message, "@FASTCOMMANDS") == 0) {
        SendFastCommands();
        std::free(message);
    } else {
        Relay(message);
    }
}
