// Plain mode and --listen: lines in, frames out, and every frame received
// printed as a line, with a keep-alive so a quiet user is not timed out.
#include <cstdio>

#include "tools/tool_net/tool_net.h"
#include "tools/tovrel_client/escape.h"
#include "tools/tovrel_client/line_splitter.h"
#include "tools/tovrel_client/modes.h"
#include "tools/tovrel_client/session.h"

namespace {
const char kPing[] = "@PING";

// How long the end of input may wait for the server to answer everything sent.
constexpr int kBarrierTimeoutMs = 10000;

// After the end of input. The server drops what it has not yet sent when it
// sees our end, so first a last "@PING" goes out: its reply comes after the
// echo of every line sent before it. Then our end, and what still comes is
// printed until the server closes.
int PrintUntilClosed(CSession* session, bool raw, int keepalivesPending) {
    if (!session->Send(kPing)) {
        return 1;
    }
    ++keepalivesPending;
    CSession::Event e = session->ReceiveFor(kBarrierTimeoutMs, [&](const std::string& payload) {
        if (payload == kPing) {
            return --keepalivesPending > 0;
        }
        PrintFrame(payload, raw);
        return true;
    });
    if (e == CSession::kFrame) {
        // Everything sent has been answered: our end, then what still comes.
        session->EndSending();
        e = session->ReceiveFor(kFinishTimeoutMs, [&](const std::string& payload) {
            PrintFrame(payload, raw);
            return true;
        });
        // A time-out here: the server kept the connection open after our end.
        return e == CSession::kBroken ? 1 : 0;
    }
    if (e == CSession::kTimeout) {
        std::fprintf(stderr, "tovrel-client: %s did not answer within %d ms\n",
                     session->Peer().c_str(), kBarrierTimeoutMs);
        return 1;
    }
    return e == CSession::kBroken ? 1 : 0;  // closed or interrupted
}

}  // namespace

void PrintFrame(const std::string& payload, bool raw) {
    const std::string text = raw ? payload : EscapePayload(payload);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int RunChat(const ClientOptions& options, bool readInput) {
    CSession session;
    if (!session.Open(options)) {
        return 1;
    }
    CLineSplitter lines(frame::kMaxPayload);
    bool inputOpen = readInput;
    int keepalivesPending = 0;  // "@PING" replies that answer us, not the user
    Clock::time_point lastSend = Clock::now();
    std::string payload;

    // Sends every complete line; false when the connection failed.
    auto sendLines = [&]() {
        std::string line;
        std::size_t length = 0;
        for (;;) {
            const CLineSplitter::Result r = lines.Next(&line, &length);
            if (r == CLineSplitter::kNone) {
                return true;
            }
            if (r == CLineSplitter::kTooLong) {
                std::fprintf(stderr,
                             "tovrel-client: a line of %zu bytes was not sent (at most %u)\n",
                             length, static_cast<unsigned>(frame::kMaxPayload));
                continue;
            }
            if (!session.Send(line)) {
                return false;
            }
            lastSend = Clock::now();
        }
    };

    for (;;) {
        int timeoutMs = -1;
        if (options.keepaliveMs > 0) {
            timeoutMs = MsUntil(lastSend + std::chrono::milliseconds(options.keepaliveMs));
        }
        const CSession::Event event = session.Next(inputOpen, timeoutMs, &payload);
        switch (event) {
            case CSession::kFrame:
                if (keepalivesPending > 0 && payload == kPing) {
                    --keepalivesPending;
                } else {
                    PrintFrame(payload, options.raw);
                }
                break;
            case CSession::kInput: {
                char buffer[65536];
                const int n = toolnet::ReadInput(buffer, sizeof buffer);
                if (n > 0) {
                    lines.Feed(buffer, static_cast<std::size_t>(n));
                } else {
                    lines.Finish();
                    inputOpen = false;
                }
                if (!sendLines()) {
                    return 1;
                }
                if (!inputOpen) {
                    return PrintUntilClosed(&session, options.raw, keepalivesPending);
                }
                break;
            }
            case CSession::kTimeout:
                if (!session.Send(kPing)) {
                    return 1;
                }
                ++keepalivesPending;
                lastSend = Clock::now();
                break;
            case CSession::kClosed:
                return 0;
            case CSession::kInterrupted:
                session.Finish(kFinishTimeoutMs);
                return 0;
            case CSession::kBroken:
                return 1;
        }
    }
}
