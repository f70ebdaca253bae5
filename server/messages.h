#pragma once

class CClient;
class CMessageSink;

// What a whole message from a client does, in one place: "@PING" and
// "@FASTCOMMANDS" are answered to the sender alone, anything else goes to
// `sink`. `port` names the fast-command file. Takes ownership of the
// NUL-terminated heap buffer.
void HandleMessage(CClient& from, char* message, CMessageSink& sink, int port);
