#include "websocket/handshake.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cctype>
#include <cstring>

namespace {

const char kGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

std::string Status(const char* status, const char* extra, const char* body) {
    std::string reply = "HTTP/1.1 ";
    reply += status;
    reply += "\r\nContent-Type: text/plain; charset=utf-8\r\n";
    reply += extra;
    reply += "Connection: close\r\nContent-Length: ";
    reply += std::to_string(std::strlen(body));
    reply += "\r\n\r\n";
    reply += body;
    return reply;
}

// Made once, on first use, and kept: answers are sent from them as they are.
const std::string& BadRequest() {
    static const std::string s = Status("400 Bad Request", "", "Bad WebSocket request\n");
    return s;
}
const std::string& Forbidden() {
    static const std::string s = Status("403 Forbidden", "", "Origin not allowed\n");
    return s;
}
const std::string& NotFound() {
    static const std::string s = Status("404 Not Found", "", "Not found\n");
    return s;
}
const std::string& NotAllowed() {
    static const std::string s = Status("405 Method Not Allowed", "Allow: GET\r\n", "Only GET\n");
    return s;
}
const std::string& UpgradeRequired() {
    static const std::string s = Status("426 Upgrade Required", "Sec-WebSocket-Version: 13\r\n",
                                        "WebSocket version 13 only\n");
    return s;
}
const std::string& TooLarge() {
    static const std::string s =
        Status("431 Request Header Fields Too Large", "", "Request too large\n");
    return s;
}
const std::string& BadVersion() {
    static const std::string s = Status("505 HTTP Version Not Supported", "", "HTTP/1.1 only\n");
    return s;
}

}  // namespace

const std::string& RequestTimeoutAnswer() {
    static const std::string s =
        Status("408 Request Timeout", "", "Request not finished in time\n");
    return s;
}

namespace {

CHandshakeResult Answer(CHandshakeResult::Kind kind, const std::string& reply,
                        std::size_t consumed) {
    CHandshakeResult result;
    result.kind = kind;
    result.reply = reply.data();
    result.replyLength = reply.size();
    result.consumed = consumed;
    return result;
}

bool EqualsNoCase(const std::string& a, const char* b) {
    std::size_t n = std::strlen(b);
    if (a.size() != n) {
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string Trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) {
        return std::string();
    }
    std::size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

// Whether a comma-separated header value holds `token` (case aside).
bool HasToken(const std::string& value, const char* token) {
    std::size_t start = 0;
    while (start <= value.size()) {
        std::size_t comma = value.find(',', start);
        if (comma == std::string::npos) {
            comma = value.size();
        }
        if (EqualsNoCase(Trim(value.substr(start, comma - start)), token)) {
            return true;
        }
        start = comma + 1;
    }
    return false;
}

// A key is the base64 of 16 bytes: 22 characters of the alphabet, then "==".
bool KeyWellFormed(const std::string& key) {
    if (key.size() != 24 || key[22] != '=' || key[23] != '=') {
        return false;
    }
    for (std::size_t i = 0; i < 22; ++i) {
        char c = key[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/') {
            return false;
        }
    }
    // The last character carries 2 bits; the 4 below must be 0.
    return std::strchr("AQgw", key[21]) != nullptr;
}

}  // namespace

std::string WebSocketAccept(const std::string& key) {
    std::string input = key + kGuid;
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
    unsigned char encoded[4 * ((SHA_DIGEST_LENGTH + 2) / 3) + 1];
    int n = EVP_EncodeBlock(encoded, digest, SHA_DIGEST_LENGTH);
    return std::string(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(n));
}

CHandshakeResult ReadHandshake(const char* bytes, std::size_t length,
                               const std::vector<std::string>& origins, std::string& accept) {
    std::size_t limit = length < kMaxRequestBytes ? length : kMaxRequestBytes;
    std::string head(bytes, limit);
    std::size_t end = head.find("\r\n\r\n");
    if (end == std::string::npos) {
        if (length >= kMaxRequestBytes) {
            return Answer(CHandshakeResult::kRefused, TooLarge(), length);
        }
        return CHandshakeResult();
    }
    std::size_t consumed = end + 4;
    head.resize(end + 2);  // every line, the last one included, ends in CRLF

    // The request line: METHOD SP TARGET SP VERSION.
    std::size_t eol = head.find("\r\n");
    std::string line = head.substr(0, eol);
    std::size_t sp1 = line.find(' ');
    std::size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || line.find(' ', sp2 + 1) != std::string::npos) {
        return Answer(CHandshakeResult::kRefused, BadRequest(), consumed);
    }
    std::string method = line.substr(0, sp1);
    std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string version = line.substr(sp2 + 1);
    if (version.compare(0, 5, "HTTP/") != 0) {
        return Answer(CHandshakeResult::kRefused, BadRequest(), consumed);
    }
    if (version != "HTTP/1.1") {
        return Answer(CHandshakeResult::kRefused, BadVersion(), consumed);
    }
    if (method != "GET") {
        return Answer(CHandshakeResult::kRefused, NotAllowed(), consumed);
    }

    // The headers that matter; any of them twice is refused.
    std::string host, upgrade, connection, key, wsVersion, origin;
    bool seen[6] = {};
    for (std::size_t at = eol + 2; at < head.size();) {
        std::size_t next = head.find("\r\n", at);
        std::string field = head.substr(at, next - at);
        at = next + 2;
        std::size_t colon = field.find(':');
        if (colon == std::string::npos || colon == 0 || field[0] == ' ' || field[0] == '\t' ||
            field.find_first_of(" \t") < colon) {
            return Answer(CHandshakeResult::kRefused, BadRequest(), consumed);
        }
        std::string name = field.substr(0, colon);
        std::string value = Trim(field.substr(colon + 1));
        const char* names[6] = {
            "Host",  "Upgrade", "Connection", "Sec-WebSocket-Key", "Sec-WebSocket-Version",
            "Origin"};
        std::string* slots[6] = {&host, &upgrade, &connection, &key, &wsVersion, &origin};
        for (int i = 0; i < 6; ++i) {
            if (EqualsNoCase(name, names[i])) {
                if (seen[i] && i != 2) {
                    return Answer(CHandshakeResult::kRefused, BadRequest(), consumed);
                }
                // Connection may come in several lines: they add up.
                *slots[i] = seen[i] ? *slots[i] + "," + value : value;
                seen[i] = true;
            }
        }
    }

    std::string path = target.substr(0, target.find('?'));
    if (path != "/") {
        return Answer(CHandshakeResult::kRefused, NotFound(), consumed);
    }
    if (!seen[1]) {
        // A plain visit: the page, which then opens the WebSocket itself.
        return Answer(CHandshakeResult::kPage, ChatPageResponse(), consumed);
    }
    if (!HasToken(upgrade, "websocket") || !HasToken(connection, "upgrade") || host.empty()) {
        return Answer(CHandshakeResult::kRefused, BadRequest(), consumed);
    }
    if (wsVersion != "13") {
        return Answer(CHandshakeResult::kRefused, UpgradeRequired(), consumed);
    }
    if (!KeyWellFormed(key)) {
        return Answer(CHandshakeResult::kRefused, BadRequest(), consumed);
    }
    if (!origins.empty()) {
        bool allowed = false;
        for (const std::string& o : origins) {
            allowed = allowed || EqualsNoCase(origin, o.c_str());
        }
        if (!allowed) {
            return Answer(CHandshakeResult::kRefused, Forbidden(), consumed);
        }
    }
    accept =
        "HTTP/1.1 101 Switching Protocols\r\n"
        "Upgrade: websocket\r\n"
        "Connection: Upgrade\r\n"
        "Sec-WebSocket-Accept: " +
        WebSocketAccept(key) + "\r\n\r\n";
    return Answer(CHandshakeResult::kUpgrade, accept, consumed);
}
