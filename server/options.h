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
    // The port argument as given, for the caller to read (PortSyntax::kLeading).
    std::string portText;
    // False when only options were given.
    bool portGiven = false;
    // A configuration file is named, by --config or TOVREL_CONFIG, whether
    // or not the latter exists: a hang-up then reloads instead of stopping.
    bool configNamed = false;
    // For kRefuse and kFail: why, as one line without its newline.
    std::string error;
};

// Reads argv[1..] into `settings` and the port text. Needs argc >= 2.
CCommandLine ParseCommandLine(int argc, char** argv, CSettings& settings);
