#include <cstdio>
#include <cstring>

#include "server/client.h"
#include "server/server.h"

namespace {
const char kReplyHead[] = "@FASTCOMMANDS\n";
constexpr int kHeadLength = sizeof kReplyHead - 1;  // 14, no terminator
constexpr int kBufferSize = 20000;
// The file content that fits after the head with room for a terminator.
constexpr int kMaxFileBytes = kBufferSize - kHeadLength - 3;  // 19983
}  // namespace

void CClient::SendFastCommands() {
    char buffer[kBufferSize];
    std::snprintf(buffer, sizeof buffer, "%sfastcmd%d.txt", g_exeDir,
                  static_cast<int>(g_server.port));
    std::FILE* file = Platform().OpenForReading(buffer);
    if (file == nullptr) {
        return;
    }
    std::memcpy(buffer, kReplyHead, kHeadLength);
    size_t count = std::fread(buffer + kHeadLength, 1, kMaxFileBytes, file);
    if (count > 0) {
        // The reply is a text: it ends at the first NUL of the file, if any.
        buffer[kHeadLength + count] = '\0';
        SendText(buffer);
    }
    std::fclose(file);
}
