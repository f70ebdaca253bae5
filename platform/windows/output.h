#pragma once

// Standard output for event lines, never waiting for its reader: a thread
// of its own writes it with WriteFile, whatever it is (console, pipe or
// file), so an output that stops taking bytes holds only that thread.
// WriteStandardOutput copies into a bounded buffer that the thread empties,
// with "\n" written as "\r\n" as the C runtime's text mode writes it.
// Returns the bytes taken, 0 while the buffer is full, kIoError when the
// output is gone (a failed write, or no standard output at all).
int WriteStandardOutput(const char* data, int length);
// True while text taken is not yet written.
bool StandardOutputPending();
