// --listen --reconnect: follows the room across lost connections and
// server restarts, resuming each new connection where the last one ended,
// so that every message is printed once.
#include <chrono>
#include <cstdio>
#include <random>

#include "tools/tool_net/tool_net.h"
#include "tools/tovrel_client/backoff.h"
#include "tools/tovrel_client/modes.h"
#include "tools/tovrel_client/resume_reader.h"
#include "tools/tovrel_client/session.h"

namespace {
const char kPing[] = "@PING";

// How long a keep-alive may wait for its answer before the connection
// counts as dead.
constexpr int kAnswerMs = 5000;

enum class End { kLost, kInterrupted };

void Show(const CResumeReader::Output& out, const std::string& peer, bool raw) {
    if (out.notResuming) {
        std::fprintf(stderr,
                     "tovrel-client: %s does not resume (no --resume-window): after a "
                     "reconnect messages may repeat or be missed\n",
                     peer.c_str());
    }
    for (const std::string& text : out.texts) {
        PrintFrame(text, raw);
    }
    if (!out.missed.empty()) {
        std::fprintf(stderr, "tovrel-client: %s\n", MissedText(out.missed).c_str());
    }
}

// Prints what one connection brings until it ends.
End Follow(CSession& session, CResumeReader& reader, const ClientOptions& options) {
    Clock::time_point lastSend = Clock::now();
    Clock::time_point answerBy;
    int pingsPending = 0;  // our keep-alives not answered yet
    std::string payload;
    for (;;) {
        int timeoutMs = -1;
        if (pingsPending > 0) {
            timeoutMs = MsUntil(answerBy);
        } else if (options.keepaliveMs > 0) {
            timeoutMs = MsUntil(lastSend + std::chrono::milliseconds(options.keepaliveMs));
        }
        switch (session.Next(false, timeoutMs, &payload)) {
            case CSession::kFrame:
                if (pingsPending > 0 && payload == kPing) {
                    --pingsPending;
                } else {
                    Show(reader.Take(payload), session.Peer(), options.raw);
                }
                break;
            case CSession::kTimeout:
                if (pingsPending > 0) {
                    std::fprintf(stderr,
                                 "tovrel-client: %s did not answer \"@PING\" within %d ms\n",
                                 session.Peer().c_str(), kAnswerMs);
                    return End::kLost;
                }
                if (!session.Send(kPing)) {
                    return End::kLost;
                }
                ++pingsPending;
                lastSend = Clock::now();
                answerBy = lastSend + std::chrono::milliseconds(kAnswerMs);
                break;
            case CSession::kClosed:
                std::fprintf(stderr, "tovrel-client: %s closed the connection\n",
                             session.Peer().c_str());
                return End::kLost;
            case CSession::kInterrupted:
                return End::kInterrupted;
            case CSession::kBroken:
            case CSession::kInput:  // not watched
                return End::kLost;  // the reason is printed already
        }
    }
}

// Waits `ms`; false when interrupted.
bool Pause(int ms) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!toolnet::Interrupted() && MsUntil(deadline) > 0) {
        toolnet::Wait(INVALID_SOCKET, false, MsUntil(deadline));
    }
    return !toolnet::Interrupted();
}

}  // namespace

int RunResumingListen(const ClientOptions& options) {
    CResumeReader reader;
    CReconnectBackoff backoff;
    std::random_device device;
    std::seed_seq seed{device(), static_cast<unsigned>(Clock::now().time_since_epoch().count())};
    std::mt19937 random(seed);
    for (;;) {
        const Clock::time_point opened = Clock::now();
        {
            CSession session;
            session.AllowTagged();
            const bool open = session.Open(options);
            const std::string request = open ? reader.Request() : std::string();
            if (open && (request.empty() || session.Send(request))) {
                if (Follow(session, reader, options) == End::kInterrupted) {
                    session.Finish(kFinishTimeoutMs);
                    return 0;
                }
                backoff.Ended(
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - opened)
                        .count());
            }
        }
        const int delayMs = backoff.NextDelayMs(static_cast<std::uint32_t>(random()));
        std::fprintf(stderr, "tovrel-client: reconnecting in %.1f s\n", delayMs / 1000.0);
        if (!Pause(delayMs)) {
            return 0;
        }
    }
}
