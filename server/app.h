#pragma once

// The whole program: checks the command line, opens the port and serves
// until a stop request. Returns the exit status (0 after a stop, 1 after a
// start-up failure).
int TovrelMain(int argc, char** argv);

// Stores the directory part of `programPath` (with its trailing separator)
// in g_exeDir. False when it does not fit in 255 characters.
bool SetExeDir(const char* programPath);
