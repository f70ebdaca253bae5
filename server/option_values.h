#pragma once

#include <string>

#include "server/settings.h"

// The values options take, read from their text. Each reads text alone:
// no command line, no files.

// The highest TCP port.
constexpr int kMaxPort = 65535;
// How a port is written.
enum class PortSyntax {
    kDigits,   // an option's value: one to five decimal digits, nothing else
    kLeading,  // the command line's PORT, read as atoi reads it: " 5000abc" is 5000
};
// The port from 1 to kMaxPort that `text` names, or 0 when it names none.
int ParsePort(const std::string& text, PortSyntax syntax);
// atoi-style parse: leading white space, an optional sign, decimal digits up
// to the first non-digit; saturates at the 32-bit limits. 0 for no digits.
int ParsePortArgument(const char* text);

// A count from 1 to `most`; false for anything else.
bool ParseCount(const std::string& text, int most, int* count);
// A decimal such as "5" or "0.5", above 0 and at most `most`; false for
// anything else (signs, exponents, white space).
bool ParseRate(const std::string& text, double most, double* rate);

enum class MemorySize { kValid, kMalformed, kTooLarge };
// Sizes like "512M", "64k", "1G" or plain bytes into *bytes; kTooLarge when
// the bytes would not fit a signed 64-bit count.
MemorySize ParseMemorySize(const std::string& text, long long* bytes);
// Dotted IPv4 like "127.0.0.1" into a host-order address; false otherwise.
bool ParseIPv4(const std::string& text, unsigned long* address);
// "a.b.c.d/n" (n from 0 to 32) or a bare "a.b.c.d" (one address) into a
// range; false for anything else, such as bits set past the prefix.
bool ParseAddressRange(const std::string& text, CAddressRange* range);

// --redis: HOST, HOST:PORT, or an IPv6 address in brackets with or without
// :PORT. Returns why the text is refused, or null once `settings` holds it.
const char* ParseRedisAddress(const std::string& text, CSettings& settings);
// --redis-sentinel: HOST:PORT[,HOST:PORT...], each as --redis takes it.
const char* ParseSentinels(const std::string& text, CSettings& settings);
// --metrics: PORT or ADDRESS:PORT, ADDRESS a dotted IPv4 address. Returns
// why the text is refused, or null once `settings` holds it.
const char* ParseMetricsAddress(const std::string& text, CSettings& settings);
