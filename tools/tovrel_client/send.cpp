// --send: sends each TEXT as a message and leaves; with --wait it prints
// what arrives for a while first. For scripts.
#include "tools/tovrel_client/modes.h"
#include "tools/tovrel_client/session.h"

int RunSend(const ClientOptions& options) {
    CSession session;
    if (!session.Open(options)) {
        return 1;
    }
    for (const std::string& text : options.texts) {
        if (!session.Send(text)) {
            return 1;
        }
    }
    if (options.waitMs > 0) {
        const CSession::Event e =
            session.ReceiveFor(options.waitMs, [&](const std::string& payload) {
                PrintFrame(payload, options.raw);
                return true;
            });
        if (e == CSession::kBroken) {
            return 1;
        }
        if (e == CSession::kClosed) {
            return 0;
        }
    }
    // The time is up, or an interrupt came: leave politely.
    session.Finish(kFinishTimeoutMs);
    return 0;
}
