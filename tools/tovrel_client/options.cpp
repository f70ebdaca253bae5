#include "tools/tovrel_client/options.h"

#include <cstddef>
#include <utility>

#include "stream/frame.h"

namespace {

constexpr long long kMaxMs = 24LL * 60 * 60 * 1000;
const char kOneMode[] = "choose one of --ping, --fast, --send, --listen and --stats";
const char kPingCount[] = "--ping needs a count from 1 to 1000000";

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

// The options that take milliseconds: the field each sets, its least value
// and what a bad value is told.
struct MsOption {
    const char* name;
    int ClientOptions::*field;
    long long least;
    const char* error;
};
const MsOption kMsOptions[] = {
    {"--interval", &ClientOptions::intervalMs, 0, "--interval needs milliseconds"},
    {"--timeout", &ClientOptions::timeoutMs, 1, "--timeout needs milliseconds (at least 1)"},
    {"--keepalive", &ClientOptions::keepaliveMs, 0,
     "--keepalive needs milliseconds (0 turns it off)"},
    {"--wait", &ClientOptions::waitMs, 0, "--wait needs milliseconds"},
};

const MsOption* FindMsOption(const std::string& name) {
    for (const MsOption& option : kMsOptions) {
        if (name == option.name) {
            return &option;
        }
    }
    return nullptr;
}

bool FindMode(const std::string& name, Mode* mode) {
    const std::pair<const char*, Mode> modes[] = {{"--ping", Mode::kPing},
                                                  {"--fast", Mode::kFast},
                                                  {"--listen", Mode::kListen},
                                                  {"--stats", Mode::kStats},
                                                  {"--send", Mode::kSend}};
    for (const auto& m : modes) {
        if (name == m.first) {
            *mode = m.second;
            return true;
        }
    }
    return false;
}

// Walks the arguments in order. An option's value follows its "=" or, when
// there is none, is the next argument.
class CArgumentReader {
  public:
    explicit CArgumentReader(const std::vector<std::string>& args) : args_(args) {}

    // Moves to the next argument; false after the last.
    bool Next() {
        if (++at_ >= args_.size()) {
            return false;
        }
        name_ = args_[at_];
        value_.clear();
        hasValue_ = false;
        const std::size_t eq = name_.find('=');
        if (name_.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value_ = name_.substr(eq + 1);
            name_.erase(eq);
            hasValue_ = true;
        }
        return true;
    }
    // The argument without its "=value", and the whole argument.
    const std::string& Name() const { return name_; }
    const std::string& Whole() const { return args_[at_]; }
    bool HasValue() const { return hasValue_; }
    const std::string& Value() const { return value_; }

    // The option's value; false when it has none.
    bool Take(std::string* out) {
        if (hasValue_) {
            *out = value_;
            return true;
        }
        if (at_ + 1 >= args_.size()) {
            return false;
        }
        *out = args_[++at_];
        return true;
    }
    bool TakeMs(long long least, int* out) {
        std::string text;
        long long v = 0;
        if (!Take(&text) || !ParseNumber(text, least, kMaxMs, &v)) {
            return false;
        }
        *out = static_cast<int>(v);
        return true;
    }
    // Takes the next argument when it is a number.
    bool TakeNumber(std::string* out) {
        if (at_ + 1 >= args_.size() || !IsNumber(args_[at_ + 1])) {
            return false;
        }
        *out = args_[++at_];
        return true;
    }
    // Takes every argument after this one.
    void TakeRest(std::vector<std::string>* out) {
        out->insert(out->end(), args_.begin() + static_cast<std::ptrdiff_t>(at_) + 1, args_.end());
        at_ = args_.size();
    }

  private:
    const std::vector<std::string>& args_;
    std::size_t at_ = static_cast<std::size_t>(-1);
    std::string name_;
    std::string value_;
    bool hasValue_ = false;
};

ParseResult Fail(const std::string& error) {
    ParseResult result;
    result.error = error;
    return result;
}

ParseResult Done(const ClientOptions& options) {
    ParseResult result;
    result.ok = true;
    result.options = options;
    return result;
}

// The rules that need the whole command line. countMayBePort: the count of
// "--ping 5000" is the port when no other port is given.
ParseResult Finish(ClientOptions o, std::vector<std::string> positional, bool countMayBePort,
                   const std::string& pingCountText, bool waitSet) {
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
    if (o.reconnect && o.mode != Mode::kListen) {
        return Fail("--reconnect goes with --listen");
    }
    if (!o.tls && (!o.caFile.empty() || !o.certFile.empty() || !o.keyFile.empty())) {
        return Fail("--ca, --cert and --key go with --tls");
    }
    if (o.certFile.empty() != o.keyFile.empty()) {
        return Fail("--cert and --key go together");
    }
    return Done(o);
}

}  // namespace

ParseResult ParseArguments(const std::vector<std::string>& args) {
    CArgumentReader in(args);
    ClientOptions o;
    std::vector<std::string> positional;
    bool modeSet = false;
    bool waitSet = false;
    bool sending = false;  // after --send, plain arguments are texts
    bool countMayBePort = false;
    std::string pingCountText;
    while (in.Next()) {
        const std::string& name = in.Name();
        Mode mode = Mode::kChat;
        if (name == "--help" || name == "-h" || name == "--version") {
            o.mode = name == "--version" ? Mode::kVersion : Mode::kHelp;
            return Done(o);
        } else if (FindMode(name, &mode)) {
            if (modeSet && o.mode != mode) {
                return Fail(kOneMode);
            }
            modeSet = true;
            o.mode = mode;
            if (mode == Mode::kSend) {
                if (in.HasValue()) {
                    o.texts.push_back(in.Value());
                }
                sending = true;
            } else if (mode == Mode::kPing) {
                std::string text = in.Value();
                if (!in.HasValue() && in.TakeNumber(&text)) {
                    countMayBePort = true;
                }
                long long count = 0;
                if ((in.HasValue() || !text.empty()) && !ParseNumber(text, 1, 1000000, &count)) {
                    return Fail(kPingCount);
                }
                if (!text.empty()) {
                    o.pingCount = static_cast<int>(count);
                    pingCountText = text;
                }
            }
        } else if (const MsOption* option = FindMsOption(name)) {
            if (!in.TakeMs(option->least, &(o.*option->field))) {
                return Fail(option->error);
            }
            waitSet = waitSet || option->field == &ClientOptions::waitMs;
        } else if (name == "--host") {
            if (!in.Take(&o.host) || o.host.empty()) {
                return Fail("--host needs a host name or address");
            }
        } else if (name == "--token-file") {
            if (!in.Take(&o.tokenFile) || o.tokenFile.empty()) {
                return Fail("--token-file needs a file name");
            }
        } else if (name == "--raw") {
            o.raw = true;
        } else if (name == "--reconnect") {
            o.reconnect = true;
        } else if (name == "--tls") {
            o.tls = true;
        } else if (name == "--ca" || name == "--cert" || name == "--key") {
            std::string* file = name == "--ca"     ? &o.caFile
                                : name == "--cert" ? &o.certFile
                                                   : &o.keyFile;
            if (!in.Take(file) || file->empty()) {
                return Fail(name + " needs a file name");
            }
        } else if (sending && name == "--") {
            in.TakeRest(&o.texts);
        } else if (name.size() > 2 && name.compare(0, 2, "--") == 0) {
            return Fail("unknown option " + name + (sending ? " (put -- before such a TEXT)" : ""));
        } else if (sending) {
            o.texts.push_back(in.Whole());
        } else {
            positional.push_back(name);
        }
    }
    return Finish(o, positional, countMayBePort, pingCountText, waitSet);
}

bool FirstToken(const std::string& text, std::string* token) {
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::size_t first = text.find_first_not_of(" \t\r", at);
        std::size_t last = end;
        while (last > at &&
               (text[last - 1] == ' ' || text[last - 1] == '\t' || text[last - 1] == '\r')) {
            --last;
        }
        if (first != std::string::npos && first < last && text[first] != '#') {
            *token = text.substr(first, last - first);
            return true;
        }
        at = end + 1;
    }
    return false;
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
           "  --stats          PORT is the server's metrics port (tovrel --metrics PORT):\n"
           "                   fetch /metrics and print the main figures\n"
           "\n"
           "Options:\n"
           "  --host HOST      server name or address (default 127.0.0.1)\n"
           "  --raw            print payloads as they are, without escaping\n"
           "  --reconnect      with --listen, for a server with --resume-window: come\n"
           "                   back after every loss, resuming, so that each message is\n"
           "                   printed once; missed messages are counted on standard\n"
           "                   error, and a \"@PING\" unanswered for 5 s counts as a loss\n"
           "  --token-file FILE  send \"@AUTH <token>\" first, with the first token in\n"
           "                   FILE, for a server started with --token-file\n"
           "  --tls            talk TLS (to the server's --tls-port); the server's\n"
           "                   certificate must name HOST and be signed by a CA in\n"
           "                   --ca FILE, or by one the system trusts\n"
           "  --ca FILE        CA certificates (PEM) for the server's certificate\n"
           "  --cert FILE      client certificate (PEM), for a server with --tls-ca\n"
           "  --key FILE       its private key (PEM, unencrypted)\n"
           "  --wait MS        with --send: print what arrives for MS ms before leaving\n"
           "  --timeout MS     longest wait for a ping, fast-command or stats reply\n"
           "                   (default 2000)\n"
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
