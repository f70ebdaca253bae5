#include "server/reload.h"

#include <string>
#include <utility>
#include <vector>

#include "console/console.h"
#include "server/listeners/kinds.h"
#include "server/option_values.h"
#include "server/options.h"
#include "server/server.h"
#include "server/settings.h"
#include "server/token_gate.h"

namespace {

// Gives `fresh` the value in use; true when it differed.
template <typename T>
bool Keep(T& fresh, const T& inUse) {
    bool differs = !(fresh == inUse);
    fresh = inUse;
    return differs;
}

// Puts back in `fresh` what only a restart changes, and returns the options
// (as written on the command line) whose values differed.
std::vector<const char*> KeepFixed(const CCommandLine& line, CSettings& fresh,
                                   const CSettings& inUse, int port) {
    std::vector<const char*> differ;
    auto note = [&differ](const char* option, bool differs) {
        if (differs) {
            differ.push_back(option);
        }
    };
    note("PORT", ParsePort(line.portText, PortSyntax::kLeading) != port);
    note("--bind", Keep(fresh.bindIPv4, inUse.bindIPv4));
    // Each Keep puts its value back, so all of them run.
    bool redisHost = Keep(fresh.redisHost, inUse.redisHost);
    bool redisPort = Keep(fresh.redisPort, inUse.redisPort);
    note("--redis", redisHost || redisPort);
    note("--redis-sentinel", Keep(fresh.redisSentinels, inUse.redisSentinels));
    note("--redis-master", Keep(fresh.redisMaster, inUse.redisMaster));
    note("--room", Keep(fresh.room, inUse.room));
    note("--tls-port", Keep(fresh.tlsPort, inUse.tlsPort));
    note("--wss-port", Keep(fresh.wssPort, inUse.wssPort));
    note("--ws-port", Keep(fresh.wsPort, inUse.wsPort));
    bool metricsPort = Keep(fresh.metricsPort, inUse.metricsPort);
    bool metricsAddress = Keep(fresh.metricsAddress, inUse.metricsAddress);
    bool metricsIPv4 = Keep(fresh.metricsIPv4, inUse.metricsIPv4);
    note("--metrics", metricsPort || metricsAddress || metricsIPv4);
    note("--resume-window", Keep(fresh.resumeWindow, inUse.resumeWindow));
    note("--drain-seconds", Keep(fresh.drainSeconds, inUse.drainSeconds));
    // Clients are made for the pace at their accept.
    note("--low-latency", Keep(fresh.lowLatency, inUse.lowLatency));
    // The token file and the client CAs may be other files, but whether
    // there are any decides how clients were let in.
    if (fresh.tokenFile.empty() != inUse.tokenFile.empty()) {
        note("--token-file", Keep(fresh.tokenFile, inUse.tokenFile));
    }
    bool tls = inUse.tlsPort != 0 || inUse.wssPort != 0;
    if (tls && fresh.tlsCa.empty() != inUse.tlsCa.empty()) {
        note("--tls-ca", Keep(fresh.tlsCa, inUse.tlsCa));
    }
    // Without TLS in use before or after, its files are those in use.
    if (!tls || fresh.tlsCert.empty()) {
        Keep(fresh.tlsCert, inUse.tlsCert);
        Keep(fresh.tlsKey, inUse.tlsKey);
        Keep(fresh.tlsCa, inUse.tlsCa);
    }
    return differ;
}

bool Refuse(const std::string& why) {
    ConsolePrint("Configuration not reloaded: %s\n", why.c_str());
    return false;
}

}  // namespace

bool CReloader::Reload() {
    // Everything is read and checked first; nothing in force changes until
    // all of it has passed.
    CSettings fresh;
    CCommandLine line = ParseCommandLine(argc_, argv_, fresh);
    if (line.action != CCommandLine::kServe) {
        return Refuse(line.error);
    }
    std::vector<const char*> fixed = KeepFixed(line, fresh, g_settings, g_server.port);
    CTokenGate tokens;
    std::string why;
    if (!tokens.Load(fresh.tokenFile, &why)) {
        return Refuse("token file " + fresh.tokenFile + " " + why);
    }
    std::shared_ptr<CTlsCredentials> loaded;
    if (tls_ != nullptr) {
        loaded = LoadTlsCredentials(fresh.tlsCert, fresh.tlsKey, fresh.tlsCa, &why);
        if (loaded == nullptr) {
            tokens.Clear();
            return Refuse("TLS not set up: " + why);
        }
    }
    for (const char* option : fixed) {
        ConsolePrint("%s changes only at a restart\n", option);
    }
    g_settings = std::move(fresh);
    // The swap moves the token lists whole; Clear then wipes the old ones,
    // as a destructor would not.
    std::swap(g_tokens, tokens);
    tokens.Clear();
    if (loaded != nullptr) {
        ReplaceTlsCredentials(*tls_, *loaded);
    }
    g_server.ApplySettings();
    ConsolePrint("Configuration reloaded\n");
    return true;
}
