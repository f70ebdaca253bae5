#pragma once

class CClient;

// The last three relayed messages, newest first. Each entry is the
// NUL-terminated heap buffer received for it; the history owns them and
// keeps them until they are pushed out.
extern char* g_history[3];

// Relays one message to every client, the sender included, and keeps it in
// the history. Takes ownership of `message` (a malloc'd NUL-terminated text).
void Broadcast(char* message);

// Stores a message as the newest history entry without sending it, pushing
// the oldest out; takes ownership. ClearHistory empties the history.
void KeepInHistory(char* message);
void ClearHistory();

// Queues the history, oldest first, for a client that has just connected.
void ReplayHistory(CClient* client);
