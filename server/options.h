#pragma once

#include <string>

#include "server/settings.h"

// The command line: `tovrel [OPTIONS] PORT`, options before or after the
// port. Arguments after the port that are not options are ignored, as they
// always were; one that begins with "--" and names no option is refused.
struct CCommandLine {
    // kRefuse: the arguments are wrong; kFail: something they name cannot
    // be used, which no other arguments would mend.
    enum Action { kServe, kShowHelp, kShowVersion, kRefuse, kFail };
    Action action = kServe;
    // The port argument as given; it is read like atoi by the caller.
    std::string portText;
    // False when only options were given.
    bool portGiven = false;
    // For kRefuse and kFail: why, as one line without its newline.
    std::string error;
};

// Reads argv[1..] into `settings` and the port text. Needs argc >= 2.
CCommandLine ParseCommandLine(int argc, char** argv, CSettings& settings);

enum class MemorySize { kValid, kMalformed, kTooLarge };
// Sizes like "512M", "64k", "1G" or plain bytes into *bytes; kTooLarge when
// the bytes would not fit a signed 64-bit count.
MemorySize ParseMemorySize(const std::string& text, long long* bytes);
// Dotted IPv4 like "127.0.0.1" into a host-order address; false otherwise.
bool ParseIPv4(const std::string& text, unsigned long* address);
// "a.b.c.d/n" (n from 0 to 32) or a bare "a.b.c.d" (one address) into a
// range; false for anything else, such as bits set past the prefix.
bool ParseAddressRange(const std::string& text, CAddressRange* range);

// What --help prints.
extern const char kHelpText[];
