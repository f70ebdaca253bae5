#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <utility>
#include <vector>

// The parser of the command line, which also tells an option from a plain
// argument the way its parse will.
class COptionParser : public CLI::App {
  public:
    bool IsPlain(const std::string& arg) const {
        return _recognize(arg) == CLI::detail::Classifier::NONE;
    }
};

// The command line as the parser is to read it. A use of a repeatable
// option takes one value, so that the port may follow it. After the port
// (from the start when `portKnown`, as when a config file names it), plain
// arguments right after such a value are further values of the same
// option, as they always were, and are spelt out as uses of their own.
// Everything else stays as given, and all after a lone "--".
struct CSpelledArguments {
    std::vector<std::string> args;
    // The known options given, by their long name ("--deny"), before any "--".
    std::vector<std::string> given;
    // The value of the last --config, if given.
    std::string configFile;
    // Before the port, an argument right after a repeatable option's value
    // that is no number, with that option: a second value, which the port
    // would otherwise be read from. Empty when there is none.
    std::pair<std::string, std::string> secondValue;

    bool Gave(const std::string& name) const;
};
CSpelledArguments SpellOutArguments(const COptionParser& parser,
                                    const std::vector<const CLI::Option*>& repeatable,
                                    bool portKnown, int argc, char** argv);

// The whole configuration file at `path` into *text. False when it cannot
// be read, with why (the system's words) in *why, and *missing set when
// there is no such file.
bool ReadConfigFile(const std::string& path, std::string* text, std::string* why, bool* missing);

// The values that configuration `text` (INI or TOML, as the parser reads
// it) gives `option`, in their order.
std::vector<std::string> ConfigValues(const COptionParser& parser, const std::string& text,
                                      const CLI::Option* option);
