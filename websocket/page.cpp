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
  // Served by a server with a resume window: the page resumes where it left
  // off after every reconnect and reload, and shows each message once.
  var resume = document.body.getAttribute("data-resume") === "1";
  var ws = null, delay = 1000, keepAlive = null, pings = 0;
  // The server refused a message ("@DENIED"): this connection only listens.
  var listenOnly = false;
  // Resuming: the backoff the next delay is drawn from, when the connection
  // opened, the wait for a keep-alive's answer, and the frames of the
  // replay until "@RESUMED" (null once it came).
  var backoff = 1000, openedAt = 0, answerWait = null, replay = null;
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
    send.disabled = cls !== "open" || listenOnly;
    text.disabled = listenOnly;
  }
  function denied() {
    if (!listenOnly) {
      listenOnly = true;
      show("listen only", "open");
      add("this connection may only listen: messages are not sent", "note");
    }
  }

  // This tab's memory of the room, so that a reload resumes: the last
  // position and the messages shown, as "message N" for N in [first, next).
  var prefix = "tovrel " + location.pathname + " ";
  function load(key) {
    try { return sessionStorage.getItem(prefix + key); } catch (e) { return null; }
  }
  function save(key, value) {
    try { sessionStorage.setItem(prefix + key, value); return true; } catch (e) { return false; }
  }
  function forget(key) {
    try { sessionStorage.removeItem(prefix + key); } catch (e) { /* nothing kept */ }
  }
  var position = load("position");
  var first = Number(load("first")) || 0, next = Math.max(Number(load("next")) || 0, first);
  function keep(line, cls) {
    var entry = JSON.stringify([line, cls || ""]);
    // When the storage is full, the oldest make room.
    while (!save("message " + next, entry) && first < next) { forget("message " + first++); }
    next++;
    while (next - first > 500) { forget("message " + first++); }
    save("first", String(first));
    save("next", String(next));
  }
  function restore() {
    for (var i = first; i < next; i++) {
      try {
        var entry = JSON.parse(load("message " + i));
        add(entry[0], entry[1]);
      } catch (e) { /* lost to the storage's limit */ }
    }
  }
  function setPosition(value) {
    position = value;
    if (value === null) { forget("position"); } else { save("position", value); }
  }
  // A tagged message: "POSITION TEXT", or binary with its position in front.
  function showTagged(data) {
    var at, line, cls = "";
    if (typeof data === "string") {
      at = data.indexOf(" ");
      line = at < 0 ? "" : data.slice(at + 1);
    } else {
      var bytes = new Uint8Array(data);
      at = bytes.indexOf(32);
      // A position is at most 41 bytes.
      data = String.fromCharCode.apply(null, bytes.subarray(0, at < 0 ? 41 : Math.min(at, 41)));
      line = "[binary message, " + (at < 0 ? 0 : bytes.length - at - 1) + " bytes]";
      cls = "note";
    }
    add(line, cls);
    keep(line, cls);
    setPosition(at < 0 ? data : data.slice(0, at));
  }
  // "@RESUMED NEWEST REPLAYED MISSED": the last REPLAYED frames before it are
  // the replay; earlier ones were sent before the resume was read.
  function resumed(newest, count, missed) {
    var frames = replay.slice(Math.max(0, replay.length - count));
    replay = null;
    frames.forEach(showTagged);
    // "-": the server holds nothing, so no position of ours means anything to it.
    setPosition(newest === "-" ? null : newest);
    if (missed === "?") {
      add("some messages may have been missed", "note");
    } else if (missed !== "0") {
      add(missed + (missed === "1" ? " message was missed" : " messages were missed"), "note");
    }
  }
  function receiveResuming(data) {
    var command = typeof data === "string" ? data.charAt(0) === "@"
                                           : new Uint8Array(data)[0] === 64;
    var done = command && typeof data === "string" &&
        /^@RESUMED (\S+) (\d+) (\S+)$/.exec(data);
    if (replay !== null && done) {
      resumed(done[1], Number(done[2]), done[3]);
    } else if (replay !== null && !command) {
      replay.push(data);
    } else if (!command) {
      showTagged(data);
    } else {
      receivePlain(data);
    }
  }
  function receivePlain(data) {
    if (typeof data !== "string") {
      add("[binary message, " + data.byteLength + " bytes]", "note");
    } else {
      add(data);
    }
  }

  // The next connection: as before, or, resuming, after a random delay up
  // to the backoff (so that many pages do not come back at once), soon
  // after a restart (1012), the backoff reset by a minute's connection.
  function reconnect(code, why) {
    clearInterval(keepAlive);
    clearTimeout(answerWait);
    answerWait = null;
    pings = 0;
    var wait = delay;
    if (!resume) {
      delay = Math.min(delay * 2, 30000);
    } else {
      if (openedAt !== 0 && Date.now() - openedAt >= 60000) { backoff = 1000; }
      openedAt = 0;
      wait = Math.random() * (code === 1012 ? 3000 : backoff);
      if (code !== 1012) { backoff = Math.min(backoff * 2, 30000); }
    }
    show("disconnected", "closed");
    add(why + "; reconnecting in " + Math.ceil(wait / 1000) + " s", "note");
    setTimeout(connect, wait);
  }
  // No answer to a keep-alive: the connection is dead even if no close came.
  function unanswered() {
    var dead = ws;
    dead.onclose = null;
    dead.onmessage = null;
    dead.close();
    reconnect(0, "no answer from the server");
  }
  function connect() {
    show("connecting", "");
    ws = new WebSocket(url);
    ws.binaryType = "arraybuffer";
    ws.onopen = function () {
      delay = 1000;
      listenOnly = false;
      openedAt = Date.now();
      show("connected", "open");
      if (token) { ws.send("@AUTH " + token); }
      if (resume) {
        replay = [];
        ws.send(position === null ? "@RESUME" : "@RESUME " + position);
      }
      // The server drops a client silent for 15 s: a ping every 10 s.
      keepAlive = setInterval(function () {
        pings++;
        ws.send("@PING");
        if (resume && answerWait === null) { answerWait = setTimeout(unanswered, 5000); }
      }, 10000);
    };
    ws.onmessage = function (event) {
      if (event.data === "@PING" && pings > 0) {
        pings--;
        clearTimeout(answerWait);
        answerWait = null;
      } else if (event.data === "@DENIED") {
        denied();
      } else if (resume) {
        receiveResuming(event.data);
      } else {
        receivePlain(event.data);
      }
    };
    ws.onclose = function (event) {
      reconnect(event.code, "disconnected" + (event.code ? " (" + event.code + ")" : ""));
    };
  }
  form.addEventListener("submit", function (event) {
    event.preventDefault();
    if (ws && ws.readyState === WebSocket.OPEN && text.value !== "") {
      if (resume && /^@RESUME( |$)/.test(text.value)) {
        // Resumed from where the page stands, so nothing shows twice.
        replay = [];
        ws.send(position === null ? "@RESUME" : "@RESUME " + position);
      } else {
        ws.send(text.value);
      }
      text.value = "";
    }
    text.focus();
  });
  if (resume) { restore(); }
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

namespace {

std::string MakeChatPageHtml(bool resuming) {
    return std::string(
               "<!DOCTYPE html>\n"
               "<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
               "<meta name=\"viewport\" content=\"width=device-width, "
               "initial-scale=1\">\n"
               "<title>tovrel</title>\n"
               "<style>") +
           kStyle + "</style></head><body" + (resuming ? " data-resume=\"1\"" : "") +
           ">\n"
           "<header><h1>tovrel</h1><span id=\"state\">connecting</span>"
           "</header>\n"
           "<ul id=\"log\" aria-live=\"polite\"></ul>\n"
           "<form id=\"form\" autocomplete=\"off\">"
           "<input id=\"text\" maxlength=\"131072\" "
           "placeholder=\"Message\" aria-label=\"Message\" autofocus>"
           "<button id=\"send\" disabled>Send</button></form>\n"
           "<script>" +
           kScript + "</script>\n</body></html>\n";
}

// The policy names the hashes of the style and the script, which both
// pages share: the body's attribute is not hashed.
std::string MakeChatPageResponse(bool resuming) {
    const std::string& html = ChatPageHtml(resuming);
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
}

}  // namespace

const std::string& ChatPageHtml(bool resuming) {
    static const std::string pages[2] = {MakeChatPageHtml(false), MakeChatPageHtml(true)};
    return pages[resuming ? 1 : 0];
}

const std::string& ChatPageResponse(bool resuming) {
    static const std::string responses[2] = {MakeChatPageResponse(false),
                                             MakeChatPageResponse(true)};
    return responses[resuming ? 1 : 0];
}
