#include "server/fast_commands.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {
const char kReplyHead[] = "@FASTCOMMANDS\n";
constexpr int kHeadLength = sizeof kReplyHead - 1;  // 14, no terminator
// The file content that fits after the head with room for a terminator.
constexpr int kMaxFileBytes = kFastCommandsBufferSize - kHeadLength - 3;  // 19983
}  // namespace

char g_exeDir[256];

bool ReadFastCommands(int port, char (&buffer)[kFastCommandsBufferSize]) {
    std::snprintf(buffer, sizeof buffer, "%sfastcmd%d.txt", g_exeDir, port);
    std::FILE* file = Platform().OpenForReading(buffer);
    if (file == nullptr) {
        return false;
    }
    std::memcpy(buffer, kReplyHead, kHeadLength);
    size_t count = std::fread(buffer + kHeadLength, 1, kMaxFileBytes, file);
    std::fclose(file);
    // The reply is a text: it ends at the first NUL of the file, if any.
    buffer[kHeadLength + count] = '\0';
    return count > 0;
}
