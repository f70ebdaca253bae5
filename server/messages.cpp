#include "server/messages.h"

#include <cstdlib>
#include <cstring>

#include "console/console.h"
#include "metrics/counters.h"
#include "server/client.h"
#include "server/fast_commands.h"
#include "server/message_sink.h"

void HandleMessage(CClient& from, char* message, CMessageSink& sink, int port) {
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
    } else {
        sink.Take(message);
    }
}
