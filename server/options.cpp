#include "server/options.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "server/option_sources.h"

const char kHelpText[] =
    "Usage: tovrel [OPTIONS] PORT\n"
    "\n"
    "Relays length-prefixed text messages between TCP clients on PORT (1-65535):\n"
    "every message goes to every client, the last three are replayed to each\n"
    "newcomer, and \"@PING\" and \"@FASTCOMMANDS\" are answered to the sender alone.\n"
    "\n"
    "Options (before or after PORT):\n"
    "  --bind ADDRESS       serve on this local IPv4 address only (default: all)\n"
    "  --max-memory SIZE    bound on what all clients hold queued or half received,\n"
    "                       together, e.g. 256M (suffix K, M or G; default 512M);\n"
    "                       past it the client holding the most is dropped\n"
    "  --redis HOST[:PORT]  serve one room with the other instances joined to the\n"
    "                       same Redis (port 6379 unless given; an IPv6 address\n"
    "                       in brackets, as [::1]:6379); a password is read from\n"
    "                       the environment variable TOVREL_REDIS_PASSWORD\n"
    "  --redis-sentinel HOST:PORT[,HOST:PORT...]\n"
    "                       find the room's Redis through these Sentinels instead\n"
    "                       of --redis (with --redis-master)\n"
    "  --redis-master NAME  the name the Sentinels know the primary by\n"
    "  --room NAME          the room to join (default: the one named after PORT)\n"
    "  --token-file FILE    clients must send \"@AUTH <token>\" as their first message,\n"
    "                       with a token from FILE (one a line), within the idle\n"
    "                       time-out; FILE is read again within 2 s of a change,\n"
    "                       and clients with a revoked token are dropped\n"
    "  --allow CIDR         let in only addresses in these IPv4 ranges, such as\n"
    "                       192.168.0.0/16 or 10.1.2.3 (one a use; repeatable)\n"
    "  --deny CIDR          never let in addresses in these ranges (one a use;\n"
    "                       repeatable; wins over --allow)\n"
    "  --max-clients N      at most N clients at once; more are closed at accept\n"
    "  --max-per-address N  at most N clients from one address at once\n"
    "  --accepts-per-pass N connections taken per 20 ms pass (default 1)\n"
    "  --config FILE        read options from FILE (INI or TOML, such as\n"
    "                       max-clients = 100 or allow = [\"10.0.0.0/8\"]); the\n"
    "                       command line wins over the file, but the --deny\n"
    "                       ranges of both apply; without it, the file named\n"
    "                       by TOVREL_CONFIG is read if it exists\n"
    "  --tls-port PORT      also listen for TLS (1.2 and 1.3) on PORT, on every\n"
    "                       local address; its clients share the room\n"
    "  --tls-cert FILE      the certificate chain presented there (PEM)\n"
    "  --tls-key FILE       its private key (PEM, unencrypted)\n"
    "  --tls-ca FILE        TLS clients must present a certificate signed by a CA\n"
    "                       in FILE (PEM); others are refused in the handshake.\n"
    "                       Changed certificate, key and CA files are loaded\n"
    "                       within about 5 s for new handshakes\n"
    "  --metrics [ADDRESS:]PORT\n"
    "                       serve Prometheus metrics (GET /metrics) and a health\n"
    "                       check (GET /healthz) over HTTP on this port of a local\n"
    "                       IPv4 address (default 127.0.0.1)\n"
    "  --ws-port PORT       also serve WebSocket clients (RFC 6455) on PORT, in the\n"
    "                       same room; a browser visiting http://HOST:PORT/ gets\n"
    "                       a chat page\n"
    "  --ws-origin ORIGIN   let only pages from ORIGIN (as https://example.org)\n"
    "                       open a WebSocket; one a use, repeat for more\n"
    "                       (default: any)\n"
    "  --wss-port PORT      also serve WebSocket clients over TLS (wss://) on PORT,\n"
    "                       every local address, with --tls-cert and --tls-key\n"
    "  --help               print this help and exit\n"
    "  --version            print the version and exit\n"
    "\n"
    "Fast-command file:\n"
    "  \"@FASTCOMMANDS\" is answered with fastcmdPORT.txt from the program's\n"
    "  directory (the current directory when started by bare name), read afresh\n"
    "  on every request.\n"
    "\n"
    "Exit status:\n"
    "  0  stopped by Ctrl+C (or SIGTERM, SIGHUP), or after --help or --version\n"
    "  1  a start-up failure: bad arguments, a config or token file that cannot\n"
    "     be read, or the port cannot be opened\n";

MemorySize ParseMemorySize(const std::string& text, long long* bytes) {
    size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) {
        ++digits;
    }
    if (digits == 0) {
        return MemorySize::kMalformed;
    }
    std::string suffix = text.substr(digits);
    long long unit = 1;
    if (suffix.size() == 1) {
        switch (std::toupper(static_cast<unsigned char>(suffix[0]))) {
            case 'K':
                unit = 1LL << 10;
                break;
            case 'M':
                unit = 1LL << 20;
                break;
            case 'G':
                unit = 1LL << 30;
                break;
            default:
                return MemorySize::kMalformed;
        }
    } else if (!suffix.empty()) {
        return MemorySize::kMalformed;
    }
    // Checked before each step, so that no product passes the 64-bit range.
    const long long limit = LLONG_MAX / unit;
    long long value = 0;
    for (size_t i = 0; i < digits; ++i) {
        int digit = text[i] - '0';
        if (value > (limit - digit) / 10) {
            return MemorySize::kTooLarge;
        }
        value = value * 10 + digit;
    }
    *bytes = value * unit;
    return MemorySize::kValid;
}

bool ParseIPv4(const std::string& text, unsigned long* address) {
    unsigned long result = 0;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= text.size() || text[at] != '.') {
                return false;
            }
            ++at;
        }
        size_t start = at;
        unsigned value = 0;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) &&
               at - start < 3) {
            value = value * 10 + static_cast<unsigned>(text[at] - '0');
            ++at;
        }
        if (at == start || value > 255) {
            return false;
        }
        result = (result << 8) | value;
    }
    if (at != text.size()) {
        return false;
    }
    *address = result;
    return true;
}

bool ParseAddressRange(const std::string& text, CAddressRange* range) {
    size_t slash = text.find('/');
    unsigned long address = 0;
    if (!ParseIPv4(text.substr(0, slash), &address)) {
        return false;
    }
    int bits = 32;
    if (slash != std::string::npos) {
        std::string prefix = text.substr(slash + 1);
        if (prefix.empty() || prefix.size() > 2 ||
            prefix.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        bits = std::atoi(prefix.c_str());
        if (bits > 32) {
            return false;
        }
    }
    std::uint32_t mask = bits == 0 ? 0 : ~static_cast<std::uint32_t>(0) << (32 - bits);
    std::uint32_t network = static_cast<std::uint32_t>(address);
    // 10.1.2.3/8 is most likely a typing error: it would not say what was meant.
    if ((network & ~mask) != 0) {
        return false;
    }
    range->address = network;
    range->mask = mask;
    return true;
}

namespace {

// The smallest budget that still holds one frame of the largest size with
// room to spare.
constexpr long long kMinMemoryBytes = 1LL << 20;
// Largest count --max-clients, --max-per-address and --accepts-per-pass take.
constexpr int kMaxCount = 1000000;

// HOST, HOST:PORT, or an IPv6 address in brackets with or without :PORT.
// Returns why the text is refused, or null once `settings` holds it.
const char* ParseRedisAddress(const std::string& text, CSettings& settings) {
    const char* expected = "--redis: expected HOST or HOST:PORT, with an IPv6 address in brackets";
    std::string host = text;
    std::string portText;
    bool portGiven = false;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos) {
            return expected;
        }
        host = text.substr(1, close - 1);
        if (host.find(':') == std::string::npos) {
            return expected;  // brackets are for IPv6 addresses only
        }
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') {
                return expected;
            }
            portText = text.substr(close + 2);
            portGiven = true;
        }
    } else {
        size_t colon = text.find(':');
        if (colon != std::string::npos) {
            if (text.find(':', colon + 1) != std::string::npos) {
                // Which colon would end the address cannot be told.
                return "--redis: an IPv6 address goes in brackets, as in [::1]:6379";
            }
            host = text.substr(0, colon);
            portText = text.substr(colon + 1);
            portGiven = true;
        }
    }
    int port = 6379;
    if (portGiven) {
        if (portText.empty() || portText.size() > 5 ||
            portText.find_first_not_of("0123456789") != std::string::npos) {
            return expected;
        }
        port = std::atoi(portText.c_str());
    }
    if (host.empty() || port < 1 || port > 65535) {
        return expected;
    }
    settings.redisHost = host;
    settings.redisPort = port;
    return nullptr;
}

// A count from 1 to `most`; false for anything else.
bool ParseCount(const std::string& text, int most, int* count) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    int value = std::atoi(text.c_str());
    if (value < 1 || value > most) {
        return false;
    }
    *count = value;
    return true;
}

// HOST:PORT[,HOST:PORT...], each as --redis takes it.
const char* ParseSentinels(const std::string& text, CSettings& settings) {
    const char* expected = "--redis-sentinel: expected HOST:PORT[,HOST:PORT...]";
    std::vector<std::pair<std::string, int>> sentinels;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string one = text.substr(start, comma == std::string::npos ? comma : comma - start);
        CSettings parsed;
        if (one.empty() || ParseRedisAddress(one, parsed) != nullptr) {
            return expected;
        }
        sentinels.emplace_back(parsed.redisHost, parsed.redisPort);
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    settings.redisSentinels = sentinels;
    return nullptr;
}

// The TLS listener's options: all of port, certificate and key, or none;
// a CA only with them. Returns why they are refused, or null.
// A port from 1 to 65535 in `text`, or 0.
int ParseListenPort(const std::string& text) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return 0;
    }
    int port = std::atoi(text.c_str());
    return port <= 65535 ? port : 0;
}

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
    if (app.count("--tls-port") > 0 && ParseListenPort(port) == 0) {
        return "--tls-port: expected a port from 1 to 65535";
    }
    if (wss && ParseListenPort(wssPort) == 0) {
        return "--wss-port: expected a port from 1 to 65535";
    }
    if (cert.empty() || key.empty() || (app.count("--tls-ca") > 0 && ca.empty())) {
        return "--tls-cert, --tls-key and --tls-ca: expected a file name";
    }
    settings.tlsPort = app.count("--tls-port") > 0 ? ParseListenPort(port) : 0;
    settings.wssPort = wss ? ParseListenPort(wssPort) : 0;
    settings.tlsCert = cert;
    settings.tlsKey = key;
    settings.tlsCa = ca;
    return nullptr;
}

// PORT or ADDRESS:PORT, ADDRESS a dotted IPv4 address. Returns why the
// text is refused, or null once `settings` holds it.
const char* ParseMetricsAddress(const std::string& text, CSettings& settings) {
    const char* expected = "--metrics: expected PORT or ADDRESS:PORT, such as 127.0.0.1:9464";
    std::string address = "127.0.0.1";
    std::string portText = text;
    size_t colon = text.find(':');
    if (colon != std::string::npos) {
        address = text.substr(0, colon);
        portText = text.substr(colon + 1);
    }
    unsigned long ipv4 = 0;
    if (!ParseIPv4(address, &ipv4) || portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos) {
        return expected;
    }
    int port = std::atoi(portText.c_str());
    if (port < 1 || port > 65535) {
        return expected;
    }
    settings.metricsAddress = address;
    settings.metricsIPv4 = ipv4;
    settings.metricsPort = port;
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
    std::string maxClients, maxPerAddress, acceptsPerPass;
    std::string tlsPort, tlsCert, tlsKey, tlsCa;
    std::string wsPort, wssPort;
    std::vector<std::string> allow, deny, wsOrigins;
    bool help = false, version = false;
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
    app.add_option("--tls-port", tlsPort);
    app.add_option("--tls-cert", tlsCert);
    app.add_option("--tls-key", tlsKey);
    app.add_option("--tls-ca", tlsCa);
    app.add_option("--metrics", metrics);
    app.add_option("--ws-port", wsPort);
    const CLI::Option* originOption =
        app.add_option("--ws-origin", wsOrigins)->allow_extra_args(false);
    app.add_option("--wss-port", wssPort);
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
        settings.bindAddress = bind;
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
    } counts[] = {{"--max-clients", &maxClients, &settings.maxClients},
                  {"--max-per-address", &maxPerAddress, &settings.maxPerAddress},
                  {"--accepts-per-pass", &acceptsPerPass, &settings.acceptsPerPass}};
    for (const auto& c : counts) {
        if (app.count(c.name) > 0 && !ParseCount(*c.text, kMaxCount, c.value)) {
            return Refuse(std::string(c.name) + ": expected a number from 1 to " +
                          std::to_string(kMaxCount));
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
        if (wsPort.empty() || wsPort.size() > 5 ||
            wsPort.find_first_not_of("0123456789") != std::string::npos ||
            std::atoi(wsPort.c_str()) < 1 || std::atoi(wsPort.c_str()) > 65535) {
            return Refuse("--ws-port: expected a port from 1 to 65535");
        }
        settings.wsPort = std::atoi(wsPort.c_str());
    }
    for (const std::string& origin : wsOrigins) {
        if (origin.empty() || origin.find_first_of(" \t\r\n,") != std::string::npos) {
            return Refuse("--ws-origin: expected an origin such as https://example.org");
        }
        settings.wsOrigins.push_back(origin);
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
