// The chat page served on `GET /` of a WebSocket listener: one HTML
// document with its style and script inline, nothing loaded from anywhere
// else. The Content-Security-Policy names the SHA-256 of that style and
// that script, so nothing else can run or style the page.
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <string>

#include "websocket/handshake.h"

namespace {

const char kStyle[] = R"CSS(
*{box-sizing:border-box}
html,body{height:100%;margin:0}
body{display:flex;flex-direction:column;font:16px/1.4 system-ui,sans-serif;background:#f6f7f9;color:#1c1e21}
header{display:flex;align-items:center;gap:.6em;padding:.5em .8em;background:#24292f;color:#fff}
header h1{font-size:1.05em;margin:0;flex:1}
#state{font-size:.85em;padding:.15em .6em;border-radius:1em;background:#8b949e}
#state.open{background:#2da44e}
#state.closed{background:#cf222e}
#log{flex:1;overflow-y:auto;margin:0;padding:.6em .8em;list-style:none}
#log li{margin:.25em 0;padding:.35em .6em;background:#fff;border-radius:.4em;white-space:pre-wrap;overflow-wrap:anywhere;box-shadow:0 1px 1px rgba(0,0,0,.08)}
#log li.note{background:none;box-shadow:none;color:#57606a;font-style:italic;font-size:.9em}
form{display:flex;gap:.5em;padding:.6em .8em;background:#fff;border-top:1px solid #d0d7de}
#text{flex:1;min-width:0;font:inherit;padding:.5em;border:1px solid #d0d7de;border-radius:.4em}
button{font:inherit;padding:.5em 1em;border:0;border-radius:.4em;background:#0969da;color:#fff}
button:disabled{background:#8b949e}
)CSS";

const char kScript[] = R"JS(
"use strict";
(function () {
  var log = document.getElementById("log");
  var state = document.getElementById("state");
  var form = document.getElementById("form");
  var text = document.getElementById("text");
  var send = document.getElementById("send");
  // A token in the fragment (#token=abc, or just #abc) is sent as "@AUTH abc".
  var hash = decodeURIComponent(location.hash.replace(/^#/, ""));
  var token = hash.indexOf("token=") === 0 ? hash.slice(6) : hash;
  // The page's own address: behind a proxy's prefix, the same prefix.
  var url = (location.protocol === "https:" ? "wss://" : "ws://") + location.host +
      location.pathname;
  var ws = null, delay = 1000, keepAlive = null, pings = 0;
  function add(line, cls) {
    var item = document.createElement("li");
    item.textContent = line;
    if (cls) { item.className = cls; }
    var atEnd = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
    log.appendChild(item);
    while (log.children.length > 500) { log.removeChild(log.firstChild); }
    if (atEnd) { log.scrollTop = log.scrollHeight; }
  }
  function show(name, cls) {
    state.textContent = name;
    state.className = cls;
    send.disabled = cls !== "open";
  }
  function connect() {
    show("connecting", "");
    ws = new WebSocket(url);
    ws.binaryType = "arraybuffer";
    ws.onopen = function () {
      delay = 1000;
      show("connected", "open");
      if (token) { ws.send("@AUTH " + token); }
      // The server drops a client silent for 15 s: a ping every 10 s.
      keepAlive = setInterval(function () { pings++; ws.send("@PING"); }, 10000);
    };
    ws.onmessage = function (event) {
      if (typeof event.data !== "string") {
        add("[binary message, " + event.data.byteLength + " bytes]", "note");
      } else if (event.data === "@PING" && pings > 0) {
        pings--;
      } else {
        add(event.data);
      }
    };
    ws.onclose = function (event) {
      clearInterval(keepAlive);
      pings = 0;
      show("disconnected", "closed");
      add("disconnected" + (event.code ? " (" + event.code + ")" : "") +
          "; reconnecting in " + Math.round(delay / 1000) + " s", "note");
      setTimeout(connect, delay);
      delay = Math.min(delay * 2, 30000);
    };
  }
  form.addEventListener("submit", function (event) {
    event.preventDefault();
    if (ws && ws.readyState === WebSocket.OPEN && text.value !== "") {
      ws.send(text.value);
      text.value = "";
    }
    text.focus();
  });
  connect();
})();
)JS";

std::string Sha256Base64(const char* text) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(text), std::char_traits<char>::length(text),
           digest);
    unsigned char encoded[4 * ((SHA256_DIGEST_LENGTH + 2) / 3) + 1];
    int n = EVP_EncodeBlock(encoded, digest, SHA256_DIGEST_LENGTH);
    return std::string(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(n));
}

}  // namespace

const std::string& ChatPageHtml() {
    static const std::string html = std::string(
                                        "<!DOCTYPE html>\n"
                                        "<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
                                        "<meta name=\"viewport\" content=\"width=device-width, "
                                        "initial-scale=1\">\n"
                                        "<title>tovrel</title>\n"
                                        "<style>") +
                                    kStyle +
                                    "</style></head><body>\n"
                                    "<header><h1>tovrel</h1><span id=\"state\">connecting</span>"
                                    "</header>\n"
                                    "<ul id=\"log\" aria-live=\"polite\"></ul>\n"
                                    "<form id=\"form\" autocomplete=\"off\">"
                                    "<input id=\"text\" maxlength=\"131072\" "
                                    "placeholder=\"Message\" aria-label=\"Message\" autofocus>"
                                    "<button id=\"send\" disabled>Send</button></form>\n"
                                    "<script>" +
                                    kScript + "</script>\n</body></html>\n";
    return html;
}

const std::string& ChatPageResponse() {
    static const std::string response = [] {
        const std::string& html = ChatPageHtml();
        std::string csp = "default-src 'none'; script-src 'sha256-" + Sha256Base64(kScript) +
                          "'; style-src 'sha256-" + Sha256Base64(kStyle) +
                          "'; connect-src 'self'; base-uri 'none'; form-action 'none'; "
                          "frame-ancestors 'none'";
        return "HTTP/1.1 200 OK\r\n"
               "Content-Type: text/html; charset=utf-8\r\n"
               "Content-Security-Policy: " +
               csp +
               "\r\n"
               "X-Content-Type-Options: nosniff\r\n"
               "Referrer-Policy: no-referrer\r\n"
               "Cache-Control: no-store\r\n"
               "Connection: close\r\n"
               "Content-Length: " +
               std::to_string(html.size()) + "\r\n\r\n" + html;
    }();
    return response;
}
