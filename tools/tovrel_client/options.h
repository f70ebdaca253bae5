#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the command line asks for. Parsing is pure so that every rule about
// arguments can be tested without a server.
enum class Mode { kChat, kPing, kFast, kSend, kListen, kStats, kHelp, kVersion };

struct ClientOptions {
    Mode mode = Mode::kChat;
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;
    bool raw = false;                // print payloads unescaped
    bool reconnect = false;          // --listen: come back, resuming, after every loss
    int pingCount = 1;               // --ping N
    int intervalMs = 1000;           // pause between pings
    int timeoutMs = 2000;            // how long a ping or fast-command reply may take
    int waitMs = 0;                  // --send: print arrivals this long before leaving
    int keepaliveMs = 10000;         // chat and listen: "@PING" after this much silence; 0: never
    std::vector<std::string> texts;  // --send
    std::string tokenFile;           // --token-file: "@AUTH <token>" goes first
    std::string token;               // the token read from it (by main)
    bool tls = false;                // --tls
    std::string caFile;              // --ca: trusted for the server's certificate
    std::string certFile;            // --cert and --key: presented to the server
    std::string keyFile;
};

struct ParseResult {
    bool ok = false;
    ClientOptions options;
    std::string error;  // the reason, when !ok
};

// Parses the arguments after the program name. Options take their value as
// the next argument or after "=". Plain arguments after --send are texts to
// send, and so is everything after a "--" there; PORT comes before --send.
ParseResult ParseArguments(const std::vector<std::string>& args);

// The token of a token file's text: its first line that is neither empty
// nor a comment ('#'), without the blanks around it. False when there is none.
bool FirstToken(const std::string& text, std::string* token);

// The --help text.
std::string UsageText();
