#include "server/option_values.h"

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {
// One to `most` decimal digits and nothing else.
bool IsDigits(const std::string& text, std::size_t most) {
    return !text.empty() && text.size() <= most &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
}  // namespace

int ParsePortArgument(const char* text) {
    while (IsBlank(*text)) {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    long long value = 0;
    while (*text >= '0' && *text <= '9') {
        value = value * 10 + (*text - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) {
            value = static_cast<long long>(INT_MAX) + 1;  // saturated; more digits change nothing
        }
        ++text;
    }
    if (negative) {
        value = -value;
    }
    if (value > INT_MAX) {
        return INT_MAX;
    }
    return static_cast<int>(value);
}

int ParsePort(const std::string& text, PortSyntax syntax) {
    int port = 0;
    if (syntax == PortSyntax::kLeading) {
        port = ParsePortArgument(text.c_str());
    } else if (IsDigits(text, 5)) {
        port = std::atoi(text.c_str());
    }
    // Past it, the low 16 bits would serve another port than meant.
    return port >= 1 && port <= kMaxPort ? port : 0;
}

MemorySize ParseMemorySize(const std::string& text, long long* bytes) {
    size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) {
        ++digits;
    }
    if (digits == 0) {
        return MemorySize::kMalformed;
    }
    std::string suffix = text.substr(digits);
    long long unit = 1;
    if (suffix.size() == 1) {
        switch (std::toupper(static_cast<unsigned char>(suffix[0]))) {
            case 'K':
                unit = 1LL << 10;
                break;
            case 'M':
                unit = 1LL << 20;
                break;
            case 'G':
                unit = 1LL << 30;
                break;
            default:
                return MemorySize::kMalformed;
        }
    } else if (!suffix.empty()) {
        return MemorySize::kMalformed;
    }
    // Checked before each step, so that no product passes the 64-bit range.
    const long long limit = LLONG_MAX / unit;
    long long value = 0;
    for (size_t i = 0; i < digits; ++i) {
        int digit = text[i] - '0';
        if (value > (limit - digit) / 10) {
            return MemorySize::kTooLarge;
        }
        value = value * 10 + digit;
    }
    *bytes = value * unit;
    return MemorySize::kValid;
}

bool ParseIPv4(const std::string& text, unsigned long* address) {
    unsigned long result = 0;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= text.size() || text[at] != '.') {
                return false;
            }
            ++at;
        }
        size_t start = at;
        unsigned value = 0;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) &&
               at - start < 3) {
            value = value * 10 + static_cast<unsigned>(text[at] - '0');
            ++at;
        }
        if (at == start || value > 255) {
            return false;
        }
        result = (result << 8) | value;
    }
    if (at != text.size()) {
        return false;
    }
    *address = result;
    return true;
}

bool ParseAddressRange(const std::string& text, CAddressRange* range) {
    size_t slash = text.find('/');
    unsigned long address = 0;
    if (!ParseIPv4(text.substr(0, slash), &address)) {
        return false;
    }
    int bits = 32;
    if (slash != std::string::npos) {
        std::string prefix = text.substr(slash + 1);
        if (!IsDigits(prefix, 2)) {
            return false;
        }
        bits = std::atoi(prefix.c_str());
        if (bits > 32) {
            return false;
        }
    }
    std::uint32_t mask = bits == 0 ? 0 : ~static_cast<std::uint32_t>(0) << (32 - bits);
    std::uint32_t network = static_cast<std::uint32_t>(address);
    // 10.1.2.3/8 is most likely a typing error: it would not say what was meant.
    if ((network & ~mask) != 0) {
        return false;
    }
    range->address = network;
    range->mask = mask;
    return true;
}

const char* ParseRedisAddress(const std::string& text, CSettings& settings) {
    const char* expected = "--redis: expected HOST or HOST:PORT, with an IPv6 address in brackets";
    std::string host = text;
    std::string portText;
    bool portGiven = false;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos) {
            return expected;
        }
        host = text.substr(1, close - 1);
        if (host.find(':') == std::string::npos) {
            return expected;  // brackets are for IPv6 addresses only
        }
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') {
                return expected;
            }
            portText = text.substr(close + 2);
            portGiven = true;
        }
    } else {
        size_t colon = text.find(':');
        if (colon != std::string::npos) {
            if (text.find(':', colon + 1) != std::string::npos) {
                // Which colon would end the address cannot be told.
                return "--redis: an IPv6 address goes in brackets, as in [::1]:6379";
            }
            host = text.substr(0, colon);
            portText = text.substr(colon + 1);
            portGiven = true;
        }
    }
    int port = portGiven ? ParsePort(portText, PortSyntax::kDigits) : 6379;
    if (host.empty() || port == 0) {
        return expected;
    }
    settings.redisHost = host;
    settings.redisPort = port;
    return nullptr;
}

bool ParseCount(const std::string& text, int most, int* count) {
    if (!IsDigits(text, 9)) {
        return false;
    }
    int value = std::atoi(text.c_str());
    if (value < 1 || value > most) {
        return false;
    }
    *count = value;
    return true;
}

bool ParseRate(const std::string& text, double most, double* rate) {
    size_t point = text.find('.');
    std::string whole = text.substr(0, point);
    std::string fraction = point == std::string::npos ? "1" : text.substr(point + 1);
    // Digits on both sides of the point, a few of them.
    if (!IsDigits(whole, 9) || !IsDigits(fraction, 9)) {
        return false;
    }
    double value = std::strtod(text.c_str(), nullptr);
    if (!(value > 0) || value > most) {
        return false;
    }
    *rate = value;
    return true;
}

const char* ParseSentinels(const std::string& text, CSettings& settings) {
    const char* expected = "--redis-sentinel: expected HOST:PORT[,HOST:PORT...]";
    std::vector<std::pair<std::string, int>> sentinels;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string one = text.substr(start, comma == std::string::npos ? comma : comma - start);
        CSettings parsed;
        if (one.empty() || ParseRedisAddress(one, parsed) != nullptr) {
            return expected;
        }
        sentinels.emplace_back(parsed.redisHost, parsed.redisPort);
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    settings.redisSentinels = sentinels;
    return nullptr;
}

const char* ParseMetricsAddress(const std::string& text, CSettings& settings) {
    const char* expected = "--metrics: expected PORT or ADDRESS:PORT, such as 127.0.0.1:9464";
    std::string address = "127.0.0.1";
    std::string portText = text;
    size_t colon = text.find(':');
    if (colon != std::string::npos) {
        address = text.substr(0, colon);
        portText = text.substr(colon + 1);
    }
    unsigned long ipv4 = 0;
    int port = ParsePort(portText, PortSyntax::kDigits);
    if (!ParseIPv4(address, &ipv4) || port == 0) {
        return expected;
    }
    settings.metricsAddress = address;
    settings.metricsIPv4 = ipv4;
    settings.metricsPort = port;
    return nullptr;
}
