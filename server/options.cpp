#include "server/options.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "server/option_sources.h"
#include "server/option_values.h"

namespace {

// The smallest budget that still holds one frame of the largest size with
// room to spare.
constexpr long long kMinMemoryBytes = 1LL << 20;
// Largest count --max-clients, --max-per-address and --accepts-per-pass take.
constexpr int kMaxCount = 1000000;
// Longest drain --drain-seconds takes: an hour.
constexpr int kMaxDrainSeconds = 3600;
// Most messages --resume-window keeps.
constexpr int kMaxResumeWindow = 100000;
// Largest --msg-rate and --msg-burst: far beyond what one pass takes in.
constexpr double kMaxMessageRate = 1000000;

// The TLS options: certificate and key go with a TLS port, for plain
// clients (--tls-port), WebSocket clients (--wss-port) or both; a CA only
// with them. Returns why they are refused, or null.
const char* ReadTlsOptions(const CLI::App& app, const std::string& port, const std::string& wssPort,
                           const std::string& cert, const std::string& key, const std::string& ca,
                           CSettings& settings) {
    bool anyGiven = app.count("--tls-port") + app.count("--tls-cert") + app.count("--tls-key") +
                        app.count("--tls-ca") + app.count("--wss-port") >
                    0;
    if (!anyGiven) {
        return nullptr;
    }
    bool wss = app.count("--wss-port") > 0;
    if (wss && (app.count("--tls-cert") == 0 || app.count("--tls-key") == 0)) {
        return "--wss-port needs --tls-cert and --tls-key";
    }
    if ((!wss && app.count("--tls-port") == 0) || app.count("--tls-cert") == 0 ||
        app.count("--tls-key") == 0) {
        return "--tls-port, --tls-cert and --tls-key go together";
    }
    int tlsAt = app.count("--tls-port") > 0 ? ParsePort(port, PortSyntax::kDigits) : 0;
    int wssAt = wss ? ParsePort(wssPort, PortSyntax::kDigits) : 0;
    if (app.count("--tls-port") > 0 && tlsAt == 0) {
        return "--tls-port: expected a port from 1 to 65535";
    }
    if (wss && wssAt == 0) {
        return "--wss-port: expected a port from 1 to 65535";
    }
    if (cert.empty() || key.empty() || (app.count("--tls-ca") > 0 && ca.empty())) {
        return "--tls-cert, --tls-key and --tls-ca: expected a file name";
    }
    settings.tlsPort = tlsAt;
    settings.wssPort = wssAt;
    settings.tlsCert = cert;
    settings.tlsKey = key;
    settings.tlsCa = ca;
    return nullptr;
}

CCommandLine Refuse(const std::string& why) {
    CCommandLine line;
    line.action = CCommandLine::kRefuse;
    line.error = why;
    return line;
}

}  // namespace

CCommandLine ParseCommandLine(int argc, char** argv, CSettings& settings) {
    COptionParser app;
    app.set_help_flag();  // --help is answered with our own text
    app.allow_extras();   // later arguments were always ignored
    std::string portText, bind, memory, redis, room, metrics, tokenFile, sentinels, master;
    std::string maxClients, maxPerAddress, acceptsPerPass, drainSeconds;
    std::string tlsPort, tlsCert, tlsKey, tlsCa;
    std::string wsPort, wssPort, resumeWindow, msgRate, msgBurst;
    std::vector<std::string> allow, deny, wsOrigins;
    bool help = false, version = false, lowLatency = false;
    const CLI::Option* portOption = app.add_option("port", portText);
    app.add_option("--bind", bind);
    app.add_option("--max-memory", memory);
    app.add_option("--redis", redis);
    app.add_option("--room", room);
    app.add_option("--redis-sentinel", sentinels);
    app.add_option("--redis-master", master);
    app.add_option("--token-file", tokenFile);
    // Repeatable: one value a use, so that the port may follow.
    const CLI::Option* allowOption = app.add_option("--allow", allow)->allow_extra_args(false);
    const CLI::Option* denyOption = app.add_option("--deny", deny)->allow_extra_args(false);
    app.add_option("--max-clients", maxClients);
    app.add_option("--max-per-address", maxPerAddress);
    app.add_option("--accepts-per-pass", acceptsPerPass);
    app.add_option("--drain-seconds", drainSeconds);
    app.add_option("--tls-port", tlsPort);
    app.add_option("--tls-cert", tlsCert);
    app.add_option("--tls-key", tlsKey);
    app.add_option("--tls-ca", tlsCa);
    app.add_option("--metrics", metrics);
    app.add_option("--ws-port", wsPort);
    const CLI::Option* originOption =
        app.add_option("--ws-origin", wsOrigins)->allow_extra_args(false);
    app.add_option("--wss-port", wssPort);
    app.add_option("--resume-window", resumeWindow);
    app.add_option("--msg-rate", msgRate);
    app.add_option("--msg-burst", msgBurst);
    app.add_flag("--low-latency", lowLatency);
    // Any of the options above from a file; one given on the command line
    // keeps its value, except --deny, whose ranges from both apply. A key
    // that names no option is refused, as a mistyped option is. A file
    // named by TOVREL_CONFIG (as the service names one per instance) is
    // read when it exists; one named by --config must exist. A file that
    // is there but cannot be read stops the start: its rules must not be
    // left out unseen.
    CLI::Option* config = app.set_config("--config", "", "", false);
    app.allow_config_extras(CLI::config_extras_mode::error);
    app.add_flag("--help", help);
    app.add_flag("--version", version);
    const std::vector<const CLI::Option*> repeatable = {allowOption, denyOption, originOption};
    CSpelledArguments spelled = SpellOutArguments(app, repeatable, false, argc, argv);
    const char* fallback = std::getenv("TOVREL_CONFIG");
    bool fromLine = spelled.Gave("--config");
    std::string configFile = fromLine ? spelled.configFile : fallback != nullptr ? fallback : "";
    std::string configText;
    bool configRead = false;
    if (!configFile.empty()) {
        std::string why;
        bool missing = false;
        configRead = ReadConfigFile(configFile, &configText, &why, &missing);
        // --help and --version are answered whatever the file, as before;
        // a missing --config file is refused by the parser.
        bool answerOnly = spelled.Gave("--help") || spelled.Gave("--version");
        if (!configRead && !missing && !answerOnly) {
            CCommandLine failed =
                Refuse("config file " + configFile + " cannot be read (" + why + ")");
            failed.action = CCommandLine::kFail;
            return failed;
        }
        if (!fromLine && (configRead || answerOnly)) {
            config->default_str(configFile);
        }
        // A port the file names comes before every argument, as it always did.
        if (configRead && !ConfigValues(app, configText, portOption).empty()) {
            spelled = SpellOutArguments(app, repeatable, true, argc, argv);
        }
    }
    try {
        app.parse(std::vector<std::string>(spelled.args.rbegin(), spelled.args.rend()));
    } catch (const CLI::ConfigError& e) {
        // The file may have been named by the environment: say which.
        return Refuse("config file " + configFile + ": " + e.what());
    } catch (const CLI::ParseError& e) {
        return Refuse(e.what());
    }
    // The parser takes a file's values only for options the command line
    // left out; deny ranges from both apply.
    if (configRead && spelled.Gave("--deny")) {
        for (const std::string& range : ConfigValues(app, configText, denyOption)) {
            deny.push_back(range);
        }
    }
    // A mistyped or newer option must not be dropped silently: the server
    // would run without what it asked for. What follows a lone "--" is plain.
    for (const std::string& extra : app.remaining()) {
        if (extra == "--") {
            break;
        }
        if (extra.compare(0, 2, "--") == 0) {
            return Refuse(extra.substr(0, extra.find('=')) + ": unknown option");
        }
    }

    CCommandLine line;
    line.configNamed = !configFile.empty();
    if (help) {
        line.action = CCommandLine::kShowHelp;
        return line;
    }
    if (version) {
        line.action = CCommandLine::kShowVersion;
        return line;
    }
    const std::string& repeated = spelled.secondValue.first;
    if (!repeated.empty()) {
        return Refuse(repeated + ": one value a use; give " + repeated + " again for " +
                      spelled.secondValue.second);
    }
    if (app.count("--bind") > 0) {
        unsigned long address = 0;
        if (!ParseIPv4(bind, &address)) {
            return Refuse("--bind: expected a local IPv4 address such as 127.0.0.1");
        }
        settings.bindIPv4 = address;
    }
    if (app.count("--max-memory") > 0) {
        long long bytes = 0;
        MemorySize parsed = ParseMemorySize(memory, &bytes);
        if (parsed == MemorySize::kTooLarge) {
            return Refuse("--max-memory: too large for a 64-bit byte count (at most 8589934591G)");
        }
        if (parsed != MemorySize::kValid || bytes < kMinMemoryBytes) {
            return Refuse("--max-memory: expected a size of at least 1M, such as 256M");
        }
        settings.maxMemoryBytes = bytes;
    }
    if (app.count("--redis") > 0) {
        const char* why = ParseRedisAddress(redis, settings);
        if (why != nullptr) {
            return Refuse(why);
        }
    }
    bool sentinel = app.count("--redis-sentinel") > 0;
    if (sentinel != (app.count("--redis-master") > 0)) {
        return Refuse("--redis-sentinel and --redis-master go together");
    }
    if (sentinel) {
        if (app.count("--redis") > 0) {
            return Refuse("--redis-sentinel: either --redis or --redis-sentinel, not both");
        }
        const char* why = ParseSentinels(sentinels, settings);
        if (why != nullptr) {
            return Refuse(why);
        }
        if (master.empty()) {
            return Refuse("--redis-master: expected a name");
        }
        settings.redisMaster = master;
    }
    if (app.count("--room") > 0) {
        if (room.empty()) {
            return Refuse("--room: expected a name");
        }
        settings.room = room;
    }
    if (app.count("--token-file") > 0) {
        if (tokenFile.empty()) {
            return Refuse("--token-file: expected a file name");
        }
        settings.tokenFile = tokenFile;
    }
    const std::pair<const std::vector<std::string>*, std::vector<CAddressRange>*> ranges[] = {
        {&allow, &settings.allow}, {&deny, &settings.deny}};
    for (const auto& r : ranges) {
        for (const std::string& text : *r.first) {
            CAddressRange range;
            if (!ParseAddressRange(text, &range)) {
                return Refuse(std::string(r.first == &allow ? "--allow" : "--deny") +
                              ": expected an IPv4 range such as 192.168.0.0/16 or 10.1.2.3, not " +
                              text);
            }
            r.second->push_back(range);
        }
    }
    const struct {
        const char* name;
        const std::string* text;
        int* value;
        int most;
    } counts[] = {{"--max-clients", &maxClients, &settings.maxClients, kMaxCount},
                  {"--max-per-address", &maxPerAddress, &settings.maxPerAddress, kMaxCount},
                  {"--accepts-per-pass", &acceptsPerPass, &settings.acceptsPerPass, kMaxCount},
                  {"--drain-seconds", &drainSeconds, &settings.drainSeconds, kMaxDrainSeconds}};
    for (const auto& c : counts) {
        if (app.count(c.name) > 0 && !ParseCount(*c.text, c.most, c.value)) {
            return Refuse(std::string(c.name) + ": expected a number from 1 to " +
                          std::to_string(c.most));
        }
    }
    if (const char* why = ReadTlsOptions(app, tlsPort, wssPort, tlsCert, tlsKey, tlsCa, settings)) {
        return Refuse(why);
    }
    if (app.count("--metrics") > 0) {
        const char* why = ParseMetricsAddress(metrics, settings);
        if (why != nullptr) {
            return Refuse(why);
        }
    }
    if (app.count("--ws-port") > 0) {
        int port = ParsePort(wsPort, PortSyntax::kDigits);
        if (port == 0) {
            return Refuse("--ws-port: expected a port from 1 to 65535");
        }
        settings.wsPort = port;
    }
    for (const std::string& origin : wsOrigins) {
        if (origin.empty() || origin.find_first_of(" \t\r\n,") != std::string::npos) {
            return Refuse("--ws-origin: expected an origin such as https://example.org");
        }
        settings.wsOrigins.push_back(origin);
    }
    settings.lowLatency = lowLatency;
    if (app.count("--resume-window") > 0) {
        int window = 0;
        if (!ParseCount(resumeWindow, kMaxResumeWindow, &window)) {
            return Refuse("--resume-window: expected a number from 1 to " +
                          std::to_string(kMaxResumeWindow));
        }
        settings.resumeWindow = static_cast<std::size_t>(window);
    }
    const struct {
        const char* name;
        const std::string* text;
        double* value;
    } rates[] = {{"--msg-rate", &msgRate, &settings.msgRate},
                 {"--msg-burst", &msgBurst, &settings.msgBurst}};
    for (const auto& r : rates) {
        if (app.count(r.name) > 0 && !ParseRate(*r.text, kMaxMessageRate, r.value)) {
            return Refuse(std::string(r.name) + ": expected a number above 0 such as 5 or 0.5, " +
                          "at most " + std::to_string(static_cast<int>(kMaxMessageRate)));
        }
    }
    if (app.count("--msg-burst") > 0 && app.count("--msg-rate") == 0) {
        return Refuse("--msg-burst needs --msg-rate");
    }
    // Without a port, the first other argument stands in its place, so that
    // `tovrel -x` still reads as a port that is not a number.
    if (app.count("port") > 0) {
        line.portText = portText;
        line.portGiven = true;
    } else if (!app.remaining().empty()) {
        line.portText = app.remaining().front();
        line.portGiven = true;
    }
    return line;
}
