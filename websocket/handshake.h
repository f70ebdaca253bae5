#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The HTTP side of a WebSocket listener: one request, read whole, then one
// answer. Pure: no sockets, so it can be tested and fuzzed on its own.

// Most bytes a request may take, headers included; past it the answer is 431.
constexpr std::size_t kMaxRequestBytes = 8192;

struct CHandshakeResult {
    enum Kind {
        kIncomplete,  // the blank line that ends the headers has not come yet
        kUpgrade,     // a valid upgrade: `reply` is the 101 answer
        kPage,        // a plain GET of "/": `reply` is the chat page
        kRefused,     // `reply` is an HTTP error; the connection closes after it
    };
    Kind kind = kIncomplete;
    // Where the answer's bytes are (static for the page and the errors).
    const char* reply = nullptr;
    std::size_t replyLength = 0;
    // Bytes of the request up to and including its blank line; what follows
    // (frames sent right behind the upgrade) belongs to the WebSocket.
    std::size_t consumed = 0;
};

// Looks at what has arrived of a request. `origins` lists the pages that may
// open a WebSocket (as "https://example.org"); empty means any.
// `resumingPage` picks the chat page that resumes. `accept` receives the 101
// answer's text when the request is an upgrade.
CHandshakeResult ReadHandshake(const char* bytes, std::size_t length,
                               const std::vector<std::string>& origins, bool resumingPage,
                               std::string& accept);

// The answer to a request not finished within the handshake's time.
const std::string& RequestTimeoutAnswer();

// The Sec-WebSocket-Accept value for a client's key: base64 of the SHA-1 of
// the key and the protocol's fixed GUID.
std::string WebSocketAccept(const std::string& key);

// The chat page's HTML, and its full HTTP answer with the
// Content-Security-Policy that allows exactly its own script and style.
// `resuming`: the page of a server with a resume window, which resumes
// after every reconnect and reload; the script is the same, told by the
// document.
const std::string& ChatPageHtml(bool resuming);
const std::string& ChatPageResponse(bool resuming);
