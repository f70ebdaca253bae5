#include "metrics/exposition.h"

#include <cmath>
#include <cstdio>

void AppendLabelValue(std::string& out, const char* value) {
    for (const char* p = value; *p != '\0'; ++p) {
        switch (*p) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += *p;
        }
    }
}

void CExposition::Family(const char* name, const char* type, const char* help) {
    family_ = name;
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    out_ += help;
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
}

void CExposition::Labels(const char* label, const char* value) {
    if (label == nullptr) {
        out_ += ' ';
        return;
    }
    out_ += '{';
    out_ += label;
    out_ += "=\"";
    AppendLabelValue(out_, value);
    out_ += "\"} ";
}

void CExposition::Sample(std::int64_t value, const char* label, const char* labelValue) {
    out_ += family_;
    Labels(label, labelValue);
    char text[32];
    std::snprintf(text, sizeof text, "%lld\n", static_cast<long long>(value));
    out_ += text;
}

void CExposition::SampleUnsigned(std::uint64_t value, const char* label, const char* labelValue) {
    out_ += family_;
    Labels(label, labelValue);
    Unsigned(value);
}

void CExposition::Counter(const char* name, const char* help, std::uint64_t value) {
    Family(name, "counter", help);
    SampleUnsigned(value);
}

void CExposition::Gauge(const char* name, const char* help, std::int64_t value) {
    Family(name, "gauge", help);
    Sample(value);
}

void CExposition::SampleReal(double value) {
    out_ += family_;
    out_ += ' ';
    Real(value);
}

void CExposition::Unsigned(std::uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu\n", static_cast<unsigned long long>(value));
    out_ += text;
}

void CExposition::Real(double value) {
    char text[40];
    if (std::isnan(value)) {
        std::snprintf(text, sizeof text, "NaN\n");
    } else if (std::isinf(value)) {
        std::snprintf(text, sizeof text, value > 0 ? "+Inf\n" : "-Inf\n");
    } else {
        std::snprintf(text, sizeof text, "%.15g\n", value);
    }
    out_ += text;
}

void CExposition::Suffixed(const char* suffix) {
    out_ += family_;
    out_ += suffix;
    out_ += ' ';
}

void CExposition::Bucket(double bound, std::uint64_t cumulative) {
    out_ += family_;
    char text[48];
    if (bound < 0) {
        std::snprintf(text, sizeof text, "_bucket{le=\"+Inf\"} ");
    } else {
        std::snprintf(text, sizeof text, "_bucket{le=\"%.9g\"} ", bound);
    }
    out_ += text;
    Unsigned(cumulative);
}
