// tovrel-client: a command-line client for the tovrel relay server.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/tool_net/tool_net.h"
#include "tools/tovrel_client/modes.h"
#include "tools/tovrel_client/options.h"
#include "tovrel_version.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const ParseResult parsed = ParseArguments(args);
    if (!parsed.ok) {
        std::fprintf(stderr, "tovrel-client: %s\nTry 'tovrel-client --help'.\n",
                     parsed.error.c_str());
        return 2;
    }
    ClientOptions options = parsed.options;
    toolnet::SetBinaryOutput();
    if (options.mode == Mode::kHelp) {
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    }
    if (options.mode == Mode::kVersion) {
        std::printf("tovrel-client %s\n", TOVREL_VERSION);
        return 0;
    }
    if (!options.tokenFile.empty()) {
        std::ifstream file(options.tokenFile, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        if (!file) {
            std::fprintf(stderr, "tovrel-client: cannot read the token file %s\n",
                         options.tokenFile.c_str());
            return 1;
        }
        if (!FirstToken(text.str(), &options.token)) {
            std::fprintf(stderr, "tovrel-client: the token file %s holds no token\n",
                         options.tokenFile.c_str());
            return 1;
        }
    }
    std::string error;
    if (!toolnet::Start(&error)) {
        std::fprintf(stderr, "tovrel-client: cannot start networking: %s\n", error.c_str());
        return 1;
    }
    switch (options.mode) {
        case Mode::kPing:
            return RunPing(options);
        case Mode::kFast:
            return RunFast(options);
        case Mode::kSend:
            return RunSend(options);
        case Mode::kListen:
            return options.reconnect ? RunResumingListen(options) : RunChat(options, false);
        case Mode::kStats:
            return RunStats(options);
        default:
            return RunChat(options, true);
    }
}
