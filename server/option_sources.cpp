#include "server/option_sources.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

bool CSpelledArguments::Gave(const std::string& name) const {
    return std::find(given.begin(), given.end(), name) != given.end();
}

CSpelledArguments SpellOutArguments(const COptionParser& parser,
                                    const std::vector<const CLI::Option*>& repeatable,
                                    bool portKnown, int argc, char** argv) {
    CSpelledArguments spelled;
    bool portSeen = portKnown;
    std::string listOf;  // the repeatable option whose values may go on
    std::string valued;  // the repeatable option whose value came just before
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string before;
        before.swap(valued);
        if (arg == "--") {
            spelled.args.insert(spelled.args.end(), argv + i, argv + argc);
            break;
        }
        std::string name, value;
        if (CLI::detail::split_long(arg, name, value)) {
            spelled.args.push_back(arg);
            listOf.clear();
            const CLI::Option* option = parser.get_option_no_throw("--" + name);
            if (option == nullptr) {
                continue;  // refused by the caller
            }
            spelled.given.push_back("--" + name);
            // As the parser does: "--name=" takes the next argument as well.
            if (option->get_items_expected_max() > 0 && value.empty() && i + 1 < argc) {
                value = argv[++i];
                spelled.args.push_back(value);
            }
            if (option == parser.get_config_ptr()) {
                spelled.configFile = value;
            }
            if (std::find(repeatable.begin(), repeatable.end(), option) != repeatable.end()) {
                (portSeen ? listOf : valued) = "--" + name;
            }
            continue;
        }
        if (!parser.IsPlain(arg)) {
            spelled.args.push_back(arg);
            listOf.clear();
            continue;
        }
        if (!listOf.empty()) {
            spelled.args.push_back(listOf);
        } else if (!portSeen) {
            portSeen = true;  // the first plain argument is the port
            // Right after a value of a repeatable option, a port that is no
            // number is most likely a second value in the old list form.
            if (!before.empty() &&
                (arg.empty() || arg.find_first_not_of("0123456789") != std::string::npos)) {
                spelled.secondValue = {before, arg};
            }
        }
        spelled.args.push_back(arg);
    }
    return spelled;
}

bool ReadConfigFile(const std::string& path, std::string* text, std::string* why, bool* missing) {
    *missing = false;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         std::fclose);
    if (!file) {
        int error = errno;
        *missing = error == ENOENT || error == ENOTDIR;
        *why = std::strerror(error);
        return false;
    }
    text->clear();
    char buffer[4096];
    size_t got = 0;
    errno = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        text->append(buffer, got);
    }
    if (std::ferror(file.get())) {
        // A directory opens on some systems and fails at the first read.
        *why = errno != 0 ? std::strerror(errno) : "read error";
        return false;
    }
    return true;
}

std::vector<std::string> ConfigValues(const COptionParser& parser, const std::string& text,
                                      const CLI::Option* option) {
    std::istringstream in(text);
    std::vector<std::string> values;
    for (const CLI::ConfigItem& item : parser.get_config_formatter()->from_config(in)) {
        if (!item.parents.empty()) {
            continue;  // sections name no option; the parser refuses them
        }
        // The names the parser tries for a key, in its order.
        const CLI::Option* named = parser.get_option_no_throw("--" + item.name);
        if (named == nullptr && item.name.size() == 1) {
            named = parser.get_option_no_throw("-" + item.name);
        }
        if (named == nullptr) {
            named = parser.get_option_no_throw(item.name);
        }
        if (named == option) {
            values.insert(values.end(), item.inputs.begin(), item.inputs.end());
        }
    }
    return values;
}
