#include "server/messages.h"

#include <cstdlib>
#include <cstring>

#include "console/console.h"
#include "metrics/counters.h"
#include "server/client.h"
#include "server/fast_commands.h"
#include "server/message_sink.h"
#include "server/relay.h"

namespace {
// "@RESUME", alone or with a space and a position: true, with the text
// after the space in `*position` (null without one).
bool IsResume(const char* message, const char** position) {
    static const char kResume[] = "@RESUME";
    const std::size_t length = sizeof kResume - 1;
    if (std::strncmp(message, kResume, length) != 0 ||
        (message[length] != '\0' && message[length] != ' ')) {
        return false;
    }
    *position = message[length] == ' ' ? message + length + 1 : nullptr;
    return true;
}
}  // namespace

void HandleMessage(CClient& from, char* message, CMessageSink& sink, CRelay& relay, int port) {
    const char* position = nullptr;
    if (std::strcmp(message, "@PING") == 0) {
        ConsolePrint("@PING\n");
        ++g_metrics.pings;
        from.SendText("@PING");
        std::free(message);
    } else if (std::strcmp(message, "@FASTCOMMANDS") == 0) {
        std::free(message);
        ++g_metrics.fastCommands;
        char reply[kFastCommandsBufferSize];
        if (ReadFastCommands(port, reply)) {
            from.SendText(reply);
        }
    } else if (relay.Resumable() && IsResume(message, &position)) {
        relay.Resume(&from, position);
        std::free(message);
    } else if (from.listenOnly) {
        std::free(message);
        ++g_metrics.deniedMessages;
        from.SendText("@DENIED");
    } else {
        sink.Take(message);
    }
}
