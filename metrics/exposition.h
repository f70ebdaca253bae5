#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "metrics/counters.h"

// Writes metrics in the Prometheus text format (version 0.0.4): per family
// one HELP and one TYPE line, then its samples. Names and help texts are
// the caller's constants; label values are escaped here.
class CExposition {
  public:
    explicit CExposition(std::string& out) : out_(out) {}

    // Starts a family; `type` is "counter", "gauge" or "histogram".
    void Family(const char* name, const char* type, const char* help);
    // One sample of the current family, with at most one label.
    void Sample(std::int64_t value, const char* label = nullptr, const char* labelValue = nullptr);
    void SampleUnsigned(std::uint64_t value, const char* label = nullptr,
                        const char* labelValue = nullptr);
    void SampleReal(double value);

    // A family of one sample.
    void Counter(const char* name, const char* help, std::uint64_t value);
    void Gauge(const char* name, const char* help, std::int64_t value);
    // A family of one sample per value of `label`: `values[i]` as `names[i]`.
    template <typename T, int N>
    void Labelled(const char* name, const char* type, const char* help, const char* label,
                  const T (&values)[N], const char* const (&names)[N]) {
        Family(name, type, help);
        for (int i = 0; i < N; ++i) {
            if constexpr (std::is_signed<T>::value) {
                Sample(values[i], label, names[i]);
            } else {
                SampleUnsigned(values[i], label, names[i]);
            }
        }
    }

    // A whole histogram family; its observations are divided by `scale`
    // (1e6 for microseconds as seconds, 1 for bytes).
    template <int N>
    void Histogram(const char* name, const char* help, const CHistogram<N>& h, double scale) {
        Family(name, "histogram", help);
        std::uint64_t below = 0;
        for (int i = 0; i < N; ++i) {
            below += h.counts[i];
            Bucket(static_cast<double>(h.bounds[i]) / scale, below);
        }
        Bucket(-1, h.count);
        Suffixed("_sum");
        Real(static_cast<double>(h.sum) / scale);
        Suffixed("_count");
        Unsigned(h.count);
    }

  private:
    void Bucket(double bound, std::uint64_t cumulative);
    void Suffixed(const char* suffix);
    void Labels(const char* label, const char* value);
    void Unsigned(std::uint64_t value);
    void Real(double value);

    std::string& out_;
    const char* family_ = "";
};

// Appends `value` to `out` as a label value: backslash, double quote and
// line feed escaped.
void AppendLabelValue(std::string& out, const char* value);
