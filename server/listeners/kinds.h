#pragma once

#include <memory>
#include <string>
#include <vector>

#include "server/listeners/connection_maker.h"

// The kinds beside plain TCP, each built only where its library was found
// (OpenSSL for TLS, wslay and libcrypto for WebSocket, both for wss). In a
// build without one, its Supported says false, its options are refused at
// start, and its makers are null.

bool TlsSupported();
bool WebSocketSupported();
bool WssSupported();

// Counts OpenSSL's heap from now on, so that the memory budget sees it; it
// must come before any other OpenSSL call. Nothing in a build without TLS.
void CountOpenSslHeap();
// What OpenSSL holds that no connection is charged with (contexts,
// certificates, its own tables); 0 when not counted.
long long OpenSslHeapShared();

// What the TLS listeners (--tls-port, --wss-port) present and ask of their
// clients: one set for all of them, loaded once, its files looked at once
// a pass however many listeners use it.
class CTlsCredentials;
// The set the files name (`ca` empty: clients present no certificate),
// loaded now; null, with the reason in *error, when they do not load.
std::shared_ptr<CTlsCredentials> LoadTlsCredentials(const std::string& cert, const std::string& key,
                                                    const std::string& ca, std::string* error);
// Puts the set `loaded` holds (from LoadTlsCredentials, with client CAs as
// `inUse` has or has not) in the place of the one `inUse` holds, for new
// handshakes; when its client CAs differ, the listeners judge their clients
// again at their next pass.
void ReplaceTlsCredentials(CTlsCredentials& inUse, CTlsCredentials& loaded);

// TLS clients with `credentials`; with client CAs, they are judged again
// when those change.
std::unique_ptr<CConnectionMaker> MakeTlsMaker(std::shared_ptr<CTlsCredentials> credentials);

// The WebSocket kind of listener: an upgrade on "/" joins the room, a plain
// GET of "/" gets the chat page. `origins` lists the pages allowed to open
// a WebSocket; empty allows any. `resumingPage`: the server keeps a resume
// window, so the page resumes where it left off.
std::unique_ptr<CConnectionMaker> MakeWebSocketMaker(const std::vector<std::string>& origins,
                                                     bool resumingPage);

// WebSocket clients over TLS (wss://): the TLS handshake with
// `credentials` first, then the upgrade, with `origins` and `resumingPage`
// as above.
std::unique_ptr<CConnectionMaker> MakeWssMaker(std::shared_ptr<CTlsCredentials> credentials,
                                               const std::vector<std::string>& origins,
                                               bool resumingPage);
