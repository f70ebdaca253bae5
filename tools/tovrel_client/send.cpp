// --send: sends each TEXT as a message and leaves; with --wait it prints
// what arrives for a while first. For scripts.
#include "tools/tovrel_client/modes.h"
#include "tools/tovrel_client/session.h"

int RunSend(const ClientOptions& options) {
    CSession session;
    if (!session.Open(options.host, options.port)) {
        return 1;
    }
    for (const std::string& text : options.texts) {
        if (!session.Send(text)) {
            return 1;
        }
    }
    if (options.waitMs > 0) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(options.waitMs);
        std::string payload;
        for (;;) {
            const CSession::Event e = session.Next(false, MsUntil(deadline), &payload);
            if (e == CSession::kFrame) {
                PrintFrame(payload, options.raw);
                continue;
            }
            if (e == CSession::kBroken) {
                return 1;
            }
            if (e == CSession::kClosed) {
                return 0;
            }
            break;  // time is up, or interrupted
        }
    }
    session.Finish(kFinishTimeoutMs);
    return 0;
}
