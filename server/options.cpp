#include "server/options.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <climits>
#include <cstdlib>

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
    "  --room NAME          the room to join (default: the one named after PORT)\n"
    "  --ws-port PORT       also serve WebSocket clients (RFC 6455) on PORT, in the\n"
    "                       same room; a browser visiting http://HOST:PORT/ gets\n"
    "                       a chat page\n"
    "  --ws-origin ORIGIN   let only pages from ORIGIN (as https://example.org)\n"
    "                       open a WebSocket; repeat for more (default: any)\n"
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
    "  1  a start-up failure: bad arguments, or the port cannot be opened\n";

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

namespace {

// The smallest budget that still holds one frame of the largest size with
// room to spare.
constexpr long long kMinMemoryBytes = 1LL << 20;

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

CCommandLine Refuse(const std::string& why) {
    CCommandLine line;
    line.action = CCommandLine::kRefuse;
    line.error = why;
    return line;
}

}  // namespace

CCommandLine ParseCommandLine(int argc, char** argv, CSettings& settings) {
    CLI::App app;
    app.set_help_flag();  // --help is answered with our own text
    app.allow_extras();   // later arguments were always ignored
    std::string portText, bind, memory, redis, room, wsPort;
    std::vector<std::string> wsOrigins;
    bool help = false, version = false;
    app.add_option("port", portText);
    app.add_option("--bind", bind);
    app.add_option("--max-memory", memory);
    app.add_option("--redis", redis);
    app.add_option("--room", room);
    app.add_option("--ws-port", wsPort);
    app.add_option("--ws-origin", wsOrigins);
    app.add_flag("--help", help);
    app.add_flag("--version", version);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return Refuse(e.what());
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
    if (app.count("--room") > 0) {
        if (room.empty()) {
            return Refuse("--room: expected a name");
        }
        settings.room = room;
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
