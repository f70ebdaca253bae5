// --fast: asks for the fast-command file and prints its content unchanged.
#include <cstdio>

#include "tools/tovrel_client/modes.h"
#include "tools/tovrel_client/session.h"

namespace {
const char kRequest[] = "@FASTCOMMANDS";
// The reply's first line, ahead of the file's bytes.
const std::string kReplyHead = "@FASTCOMMANDS\n";
}  // namespace

int RunFast(const ClientOptions& options) {
    CSession session;
    if (!session.Open(options) || !session.Send(kRequest)) {
        return 1;
    }
    std::string content;
    const CSession::Event e = session.ReceiveFor(options.timeoutMs, [&](const std::string& p) {
        if (p.compare(0, kReplyHead.size(), kReplyHead) != 0) {
            return true;  // history or a relayed message
        }
        content = p.substr(kReplyHead.size());
        return false;
    });
    if (e == CSession::kFrame) {
        std::fwrite(content.data(), 1, content.size(), stdout);
        std::fflush(stdout);
        session.Finish(kFinishTimeoutMs);
        return 0;
    }
    if (e == CSession::kTimeout) {
        // The server stays silent when it has no file for this port, or an empty one.
        std::fprintf(stderr, "tovrel-client: no fast commands from %s within %d ms\n",
                     session.Peer().c_str(), options.timeoutMs);
    } else if (e == CSession::kClosed) {
        std::fprintf(stderr, "tovrel-client: %s closed the connection\n", session.Peer().c_str());
    }
    session.Finish(kFinishTimeoutMs);
    return 1;
}
