#pragma once

#include <string>

// Turns a payload into text that stays on one line and cannot drive a
// terminal: printable ASCII and well-formed UTF-8 pass through; a backslash
// becomes "\\", LF, CR and TAB become "\n", "\r", "\t", and every other
// control byte (C0, DEL, the C1 range U+0080..U+009F), NUL and every byte of
// an ill-formed UTF-8 sequence becomes "\xHH" (two lower-case hex digits).
std::string EscapePayload(const std::string& payload);
