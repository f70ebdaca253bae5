#include "tools/tovrel_client/options.h"

#include <cstddef>

#include "stream/frame.h"

namespace {

constexpr long long kMaxMs = 24LL * 60 * 60 * 1000;

// A plain decimal number within [low, high]; no sign, blanks or suffix.
bool ParseNumber(const std::string& text, long long low, long long high, long long* value) {
    if (text.empty() || text.size() > 12) {
        return false;
    }
    long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + (c - '0');
    }
    if (v < low || v > high) {
        return false;
    }
    *value = v;
    return true;
}

bool IsNumber(const std::string& text) {
    long long ignored = 0;
    return ParseNumber(text, 0, 999999999999LL, &ignored);
}

ParseResult Fail(const std::string& error) {
    ParseResult result;
    result.error = error;
    return result;
}

}  // namespace

ParseResult ParseArguments(const std::vector<std::string>& args) {
    ParseResult result;
    ClientOptions& o = result.options;
    std::vector<std::string> positional;
    bool modeSet = false;
    bool waitSet = false;
    bool sending = false;         // after --send, plain arguments are texts
    bool countMayBePort = false;  // "--ping 5000" alone: 5000 is the port
    std::string pingCountText;

    auto setMode = [&](Mode mode) {
        if (modeSet && o.mode != mode) {
            return false;
        }
        modeSet = true;
        o.mode = mode;
        return true;
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasValue = false;
        if (name.compare(0, 2, "--") == 0) {
            const std::size_t eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.erase(eq);
                hasValue = true;
            }
        }
        // The value of an option that needs one.
        auto take = [&](std::string* out) {
            if (hasValue) {
                *out = value;
                return true;
            }
            if (i + 1 >= args.size()) {
                return false;
            }
            *out = args[++i];
            return true;
        };
        auto takeMs = [&](int* out) {
            std::string text;
            long long v = 0;
            if (!take(&text) || !ParseNumber(text, 0, kMaxMs, &v)) {
                return false;
            }
            *out = static_cast<int>(v);
            return true;
        };

        if (name == "--help" || name == "-h") {
            o.mode = Mode::kHelp;
            result.ok = true;
            return result;
        } else if (name == "--version") {
            o.mode = Mode::kVersion;
            result.ok = true;
            return result;
        } else if (name == "--host") {
            if (!take(&o.host) || o.host.empty()) {
                return Fail("--host needs a host name or address");
            }
        } else if (name == "--raw") {
            o.raw = true;
        } else if (name == "--ping") {
            if (!setMode(Mode::kPing)) {
                return Fail("choose one of --ping, --fast, --send and --listen");
            }
            std::string text;
            if (hasValue) {
                text = value;
            } else if (i + 1 < args.size() && IsNumber(args[i + 1])) {
                text = args[++i];
                countMayBePort = true;
            }
            if (!text.empty()) {
                long long v = 0;
                if (!ParseNumber(text, 1, 1000000, &v)) {
                    return Fail("--ping needs a count from 1 to 1000000");
                }
                o.pingCount = static_cast<int>(v);
                pingCountText = text;
            } else if (hasValue) {
                return Fail("--ping needs a count from 1 to 1000000");
            }
        } else if (name == "--interval") {
            if (!takeMs(&o.intervalMs)) {
                return Fail("--interval needs milliseconds");
            }
        } else if (name == "--timeout") {
            if (!takeMs(&o.timeoutMs) || o.timeoutMs == 0) {
                return Fail("--timeout needs milliseconds (at least 1)");
            }
        } else if (name == "--keepalive") {
            if (!takeMs(&o.keepaliveMs)) {
                return Fail("--keepalive needs milliseconds (0 turns it off)");
            }
        } else if (name == "--wait") {
            if (!takeMs(&o.waitMs)) {
                return Fail("--wait needs milliseconds");
            }
            waitSet = true;
        } else if (name == "--fast") {
            if (!setMode(Mode::kFast)) {
                return Fail("choose one of --ping, --fast, --send and --listen");
            }
        } else if (name == "--listen") {
            if (!setMode(Mode::kListen)) {
                return Fail("choose one of --ping, --fast, --send and --listen");
            }
        } else if (name == "--send") {
            if (!setMode(Mode::kSend)) {
                return Fail("choose one of --ping, --fast, --send and --listen");
            }
            if (hasValue) {
                o.texts.push_back(value);
            }
            sending = true;
        } else if (sending && name == "--") {
            o.texts.insert(o.texts.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                           args.end());
            break;
        } else if (name.size() > 2 && name.compare(0, 2, "--") == 0) {
            return Fail("unknown option " + name + (sending ? " (put -- before such a TEXT)" : ""));
        } else if (sending) {
            o.texts.push_back(args[i]);
        } else {
            positional.push_back(name);
        }
    }

    if (positional.empty() && countMayBePort) {
        positional.push_back(pingCountText);
        o.pingCount = 1;
    }
    if (positional.empty()) {
        return Fail(o.mode == Mode::kSend ? "missing PORT (it goes before --send)"
                                          : "missing PORT");
    }
    if (positional.size() > 1) {
        return Fail("unexpected argument " + positional[1]);
    }
    long long port = 0;
    if (!ParseNumber(positional[0], 1, 65535, &port)) {
        return Fail("PORT must be a number from 1 to 65535, not " + positional[0]);
    }
    o.port = static_cast<std::uint16_t>(port);
    if (o.mode == Mode::kSend && o.texts.empty()) {
        return Fail("--send needs at least one TEXT");
    }
    for (const std::string& text : o.texts) {
        if (text.size() > frame::kMaxPayload) {
            return Fail("a TEXT is longer than " + std::to_string(frame::kMaxPayload) + " bytes");
        }
    }
    if (waitSet && o.mode != Mode::kSend) {
        return Fail("--wait goes with --send");
    }
    result.ok = true;
    return result;
}

std::string UsageText() {
    return "Usage: tovrel-client [OPTIONS] PORT [--send TEXT...]\n"
           "Talks to a tovrel relay server at HOST:PORT.\n"
           "\n"
           "Without a mode, every line of standard input is sent as one message and\n"
           "every message received is printed as one line, until standard input ends\n"
           "or the server closes.\n"
           "\n"
           "Modes:\n"
           "  --ping [N]       send \"@PING\" N times (default 1) and time the replies\n"
           "  --fast           print the server's fast-command file\n"
           "  --listen         print what arrives (the history first) until interrupted\n"
           "  --send TEXT...   send each TEXT as a message, then leave; PORT goes before\n"
           "                   it, and a TEXT after \"--\" may begin with \"--\"\n"
           "\n"
           "Options:\n"
           "  --host HOST      server name or address (default 127.0.0.1)\n"
           "  --raw            print payloads as they are, without escaping\n"
           "  --wait MS        with --send: print what arrives for MS ms before leaving\n"
           "  --timeout MS     longest wait for a ping or fast-command reply (default 2000)\n"
           "  --interval MS    pause between pings (default 1000)\n"
           "  --keepalive MS   after MS ms without sending, send \"@PING\" so the server\n"
           "                   keeps the connection (default 10000; 0: never)\n"
           "  --help, --version\n"
           "\n"
           "Received control bytes, NUL, backslashes and invalid UTF-8 are shown as\n"
           "\\n, \\r, \\t, \\\\ and \\xHH unless --raw is given.\n"
           "Exit status: 0 on success or when the server closes, 1 when the connection\n"
           "fails or a reply does not come, 2 on a usage error.\n";
}
