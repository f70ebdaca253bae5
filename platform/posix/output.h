#pragma once

// Standard output for event lines, never waiting for its reader, and never
// changing the open file description: a shell or the other programs of a
// pipeline may share it, and O_NONBLOCK there would change their writes too.
// - A socket (a systemd journal stream): send with MSG_DONTWAIT.
// - A pipe, terminal or other device: opened again, through /proc/self/fd,
//   as a description of our own with O_NONBLOCK. Where that cannot be
//   done: a write only once poll finds room, of at most PIPE_BUF bytes. A
//   Linux pipe that polls writable has a free page, so such a write does
//   not wait (unless another writer fills it in between); a terminal may
//   poll writable and still make a write wait, so there only the own
//   description is sure.
// - A regular file: a plain write; a disk does not wait for a reader.
// Returns the bytes taken, 0 when none can be now, kIoError when the output
// is gone (closed, broken, or no standard output at all).
int WriteStandardOutput(const char* data, int length);
