// tovrel-bench: drives tovrel or ncat --broker on 127.0.0.1 with many
// connections and prints tab-separated results. Every wait is bounded.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "bench_frame.h"
#include "scenarios.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: tovrel-bench fanout|throughput|idle --exe PATH [--server tovrel|ncat]\n"
                 "  [--clients 10,100] [--sizes 64,4096] [--rates 200,20] [--seconds S]\n"
                 "  [--writers N] [--mib N] [--cdf-dir DIR] [--out FILE]\n");
    return 2;
}

std::vector<int> ParseList(const char* text) {
    std::vector<int> values;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        values.push_back(std::atoi(item.c_str()));
    }
    return values;
}

}  // namespace

const char* KindName(ServerProcess::Kind kind) {
    return kind == ServerProcess::Kind::kTovrel ? "tovrel" : "ncat";
}

int main(int argc, char** argv) {
    if (argc < 2) {
        return Usage();
    }
    std::string scenario = argv[1];
    BenchOptions o;
    o.clients = {10, 100, 1000};
    o.sizes = {64, 4096};
    o.rates = {200, 200, 20};
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string key = argv[i];
        const char* value = argv[i + 1];
        if (key == "--exe") {
            o.exe = value;
        } else if (key == "--server") {
            o.kind = std::strcmp(value, "ncat") == 0 ? ServerProcess::Kind::kNcat
                                                     : ServerProcess::Kind::kTovrel;
        } else if (key == "--clients") {
            o.clients = ParseList(value);
        } else if (key == "--sizes") {
            o.sizes = ParseList(value);
        } else if (key == "--rates") {
            o.rates = ParseList(value);
        } else if (key == "--seconds") {
            o.seconds = std::atof(value);
        } else if (key == "--writers") {
            o.writers = std::atoi(value);
        } else if (key == "--mib") {
            o.mib = std::atoi(value);
        } else if (key == "--cdf-dir") {
            o.cdfDir = value;
        } else if (key == "--out") {
            o.out = std::fopen(value, "a");
            if (o.out == nullptr) {
                std::perror(value);
                return 2;
            }
        } else {
            return Usage();
        }
    }
    if (o.exe.empty() || o.clients.empty() || o.sizes.empty() || o.rates.empty()) {
        return Usage();
    }
    for (int size : o.sizes) {
        if (size < kBenchFrameMinSize || size > 131072) {
            std::fprintf(stderr, "tovrel-bench: frame sizes lie between %d and 131072\n",
                         kBenchFrameMinSize);
            return 2;
        }
    }
    RaiseFileLimit();
    bool ok;
    if (scenario == "fanout") {
        ok = RunFanout(o);
    } else if (scenario == "throughput") {
        ok = RunThroughput(o);
    } else if (scenario == "idle") {
        ok = RunIdle(o);
    } else {
        return Usage();
    }
    if (o.out != stdout) {
        std::fclose(o.out);
    }
    return ok ? 0 : 1;
}
