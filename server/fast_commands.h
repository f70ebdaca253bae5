#pragma once

// The program's directory with its trailing separator, or empty: where the
// fast-command files are.
extern char g_exeDir[256];

// The reply to "@FASTCOMMANDS": the line "@FASTCOMMANDS\n" and then the
// per-port file "fastcmdPORT.txt" in g_exeDir, read afresh each time, up to
// its first NUL and at most what fits the buffer.
constexpr int kFastCommandsBufferSize = 20000;

// Fills `buffer` with the reply's text; false (no reply) when the file is
// missing, unreadable or empty.
bool ReadFastCommands(int port, char (&buffer)[kFastCommandsBufferSize]);
