#include "websocket/handshake.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cctype>
#include <cstring>
#include <string_view>

#include "http/request_head.h"

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
                               const std::vector<std::string>& origins, bool resumingPage,
                               std::string& accept) {
    CHttpRequestHead head(std::string_view(bytes, length), kMaxRequestBytes, HttpLineEnds::kCrlf);
    if (head.status() == CHttpRequestHead::kIncomplete) {
        return CHandshakeResult();
    }
    if (head.status() == CHttpRequestHead::kTooLarge) {
        return Answer(CHandshakeResult::kRefused, TooLarge(), length);
    }
    std::size_t consumed = head.size();
    if (!head.HasRequestLine() || head.version().compare(0, 5, "HTTP/") != 0) {
        return Answer(CHandshakeResult::kRefused, BadRequest(), consumed);
    }
    if (head.version() != "HTTP/1.1") {
        return Answer(CHandshakeResult::kRefused, BadVersion(), consumed);
    }
    if (head.method() != "GET") {
        return Answer(CHandshakeResult::kRefused, NotAllowed(), consumed);
    }

    // The headers that matter; any of them twice is refused.
    std::string host, upgrade, connection, key, wsVersion, origin;
    bool seen[6] = {};
    const char* const names[6] = {
        "Host", "Upgrade", "Connection", "Sec-WebSocket-Key", "Sec-WebSocket-Version", "Origin"};
    std::string* const slots[6] = {&host, &upgrade, &connection, &key, &wsVersion, &origin};
    CHttpField field;
    for (CHttpRequestHead::FieldRead read;
         (read = head.NextField(field)) != CHttpRequestHead::kEnd;) {
        if (read == CHttpRequestHead::kMalformed) {
            return Answer(CHandshakeResult::kRefused, BadRequest(), consumed);
        }
        for (int i = 0; i < 6; ++i) {
            if (HttpEqualsNoCase(field.name, names[i])) {
                if (seen[i] && i != 2) {
                    return Answer(CHandshakeResult::kRefused, BadRequest(), consumed);
                }
                // Connection may come in several lines: they add up.
                if (seen[i]) {
                    *slots[i] += ',';
                }
                slots[i]->append(field.value);
                seen[i] = true;
            }
        }
    }

    if (head.path() != "/") {
        return Answer(CHandshakeResult::kRefused, NotFound(), consumed);
    }
    if (!seen[1]) {
        // A plain visit: the page, which then opens the WebSocket itself.
        return Answer(CHandshakeResult::kPage, ChatPageResponse(resumingPage), consumed);
    }
    if (!HttpListHas(upgrade, "websocket") || !HttpListHas(connection, "upgrade") || host.empty()) {
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
            allowed = allowed || HttpEqualsNoCase(origin, o);
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
