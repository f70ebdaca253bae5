#pragma once

class CClient;
class CMessageSink;
class CRelay;

// What a whole message from a client does, in one place: "@PING" and
// "@FASTCOMMANDS" are answered to the sender alone, and so is "@RESUME"
// when `relay` keeps messages for resumes; anything else goes to `sink`,
// or, from a listen-only client, is answered "@DENIED" to it alone.
// `port` names the fast-command file. Takes ownership of the
// NUL-terminated heap buffer.
void HandleMessage(CClient& from, char* message, CMessageSink& sink, CRelay& relay, int port);
