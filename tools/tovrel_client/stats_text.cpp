#include "tools/tovrel_client/stats_text.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

namespace {

// Series (name with its labels, as written) to value; comments skipped.
std::map<std::string, double> ReadSamples(const std::string& text) {
    std::map<std::string, double> samples;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(at, end - at);
        at = end + 1;
        std::size_t space = line.rfind(' ');
        if (line.empty() || line[0] == '#' || space == std::string::npos) {
            continue;
        }
        char* rest = nullptr;
        double value = std::strtod(line.c_str() + space + 1, &rest);
        if (rest != line.c_str() + space + 1) {
            samples[line.substr(0, space)] = value;
        }
    }
    return samples;
}

std::string Bytes(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", value);
    return text;
}

class CSummary {
  public:
    explicit CSummary(const std::string& text) : samples_(ReadSamples(text)) {}

    bool Has(const std::string& series) const { return samples_.count(series) != 0; }
    double Get(const std::string& series) const {
        auto found = samples_.find(series);
        return found == samples_.end() ? 0 : found->second;
    }
    // The samples of one family with one label: (label value, value).
    std::vector<std::pair<std::string, double>> Labelled(const std::string& family) const {
        std::vector<std::pair<std::string, double>> out;
        std::string prefix = family + "{";
        for (auto it = samples_.lower_bound(prefix);
             it != samples_.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
            std::size_t open = it->first.find('"');
            std::size_t close = it->first.rfind('"');
            if (open != std::string::npos && close > open) {
                out.emplace_back(it->first.substr(open + 1, close - open - 1), it->second);
            }
        }
        return out;
    }

  private:
    std::map<std::string, double> samples_;
};

}  // namespace

std::string SummarizeMetrics(const std::string& text) {
    CSummary m(text);
    std::string out;
    char line[512];
    if (!m.Has("tovrel_connections_accepted_total")) {
        return out;
    }
    // Clients now and how the others left.
    double clients = 0;
    std::string kinds;
    // Plain TCP always, the other kinds only when they have clients.
    for (const auto& kind : m.Labelled("tovrel_clients")) {
        clients += kind.second;
        if (kind.second > 0 || kind.first == "tcp") {
            kinds += (kinds.empty() ? "" : ", ") + kind.first + " " + Number(kind.second);
        }
    }
    double ended = 0;
    std::string reasons;
    for (const auto& reason : m.Labelled("tovrel_disconnections_total")) {
        ended += reason.second;
        if (reason.second > 0) {
            reasons += (reasons.empty() ? "" : ", ") + reason.first + " " + Number(reason.second);
        }
    }
    std::snprintf(line, sizeof line, "clients:  %s now (%s), %s accepted, %s gone%s%s%s\n",
                  Number(clients).c_str(), kinds.c_str(),
                  Number(m.Get("tovrel_connections_accepted_total")).c_str(), Number(ended).c_str(),
                  reasons.empty() ? "" : " (", reasons.c_str(), reasons.empty() ? "" : ")");
    out += line;
    std::snprintf(line, sizeof line,
                  "messages: %s relayed, %s pings, %s fast commands; %s in, %s out\n",
                  Number(m.Get("tovrel_messages_relayed_total")).c_str(),
                  Number(m.Get("tovrel_pings_total")).c_str(),
                  Number(m.Get("tovrel_fast_commands_total")).c_str(),
                  Bytes(m.Get("tovrel_received_bytes_total")).c_str(),
                  Bytes(m.Get("tovrel_sent_bytes_total")).c_str());
    out += line;
    double budget = m.Get("tovrel_memory_budget_bytes");
    double used = m.Get("tovrel_memory_budget_used_bytes");
    std::snprintf(line, sizeof line, "memory:   %s of %s budget (%.1f %%); %s queued, largest %s\n",
                  Bytes(used).c_str(), Bytes(budget).c_str(),
                  budget > 0 ? used * 100 / budget : 0.0,
                  Bytes(m.Get("tovrel_queued_bytes")).c_str(),
                  Bytes(m.Get("tovrel_largest_queue_bytes")).c_str());
    out += line;
    double passes = m.Get("tovrel_pass_duration_seconds_count");
    if (passes > 0) {
        double slow = passes - m.Get("tovrel_pass_duration_seconds_bucket{le=\"0.025\"}");
        double works = m.Get("tovrel_pass_work_seconds_count");
        std::snprintf(
            line, sizeof line, "passes:   %s, mean %.1f ms (work %.2f ms), %s over 25 ms\n",
            Number(passes).c_str(), m.Get("tovrel_pass_duration_seconds_sum") * 1000 / passes,
            works > 0 ? m.Get("tovrel_pass_work_seconds_sum") * 1000 / works : 0.0,
            Number(slow).c_str());
        out += line;
    }
    if (m.Has("tovrel_room_link_up")) {
        std::snprintf(line, sizeof line,
                      "room:     Redis link %s, %s held, %s read, %s missed, %s reconnects\n",
                      m.Get("tovrel_room_link_up") > 0 ? "up" : "DOWN",
                      Number(m.Get("tovrel_room_held_messages")).c_str(),
                      Number(m.Get("tovrel_room_entries_read_total")).c_str(),
                      Number(m.Get("tovrel_room_missed_messages_total")).c_str(),
                      Number(m.Get("tovrel_room_reconnects_total")).c_str());
        out += line;
    }
    if (m.Has("process_cpu_seconds_total")) {
        std::snprintf(line, sizeof line, "process:  %.2f s CPU, %s resident, %s open files\n",
                      m.Get("process_cpu_seconds_total"),
                      Bytes(m.Get("process_resident_memory_bytes")).c_str(),
                      Number(m.Get("process_open_fds")).c_str());
        out += line;
    }
    return out;
}
