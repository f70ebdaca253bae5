// tovrel-bench: drives a relay on 127.0.0.1 (tovrel, the floor relay,
// ncat --broker, nats-server or redis-server) with many connections and
// prints tab-separated results. Every wait is bounded.
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "bench_frame.h"
#include "scenarios.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: tovrel-bench fanout|throughput|idle --exe PATH\n"
                 "  [--server tovrel|floor|ncat|nats|redis|tovrel-ws|nats-ws]\n"
                 "  [--runs CLIENTS:SIZE:RATE,...] [--clients 100,1000] [--seconds S]\n"
                 "  [--writers N] [--mib N] [--cdf-dir DIR] [--perf-dir DIR] [--out FILE]\n"
                 "  [--tls CERT.pem:KEY.pem]   clients talk TLS (tovrel, nats, redis)\n"
                 "  [--resume-window N]        tovrel keeps N messages; clients resume\n"
                 "  [--server-arg ARG]         one more argument for tovrel (repeatable)\n");
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

// "10:64:200,100:4096:200": clients, frame size and rate of each fan-out run.
bool ParseRuns(const char* text, std::vector<BenchOptions::FanoutRun>& runs) {
    runs.clear();
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        BenchOptions::FanoutRun run;
        char extra;
        if (std::sscanf(item.c_str(), "%d:%d:%d%c", &run.clients, &run.size, &run.rate, &extra) !=
                3 ||
            run.clients < 2 || run.size < kBenchFrameMinSize || run.size > 131072 || run.rate < 1 ||
            (!runs.empty() && run.clients < runs.back().clients)) {
            std::fprintf(stderr,
                         "tovrel-bench: bad run '%s' (clients >= 2 and never fewer, "
                         "size %d to 131072, rate >= 1)\n",
                         item.c_str(), kBenchFrameMinSize);
            return false;
        }
        runs.push_back(run);
    }
    return !runs.empty();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return Usage();
    }
    std::string scenario = argv[1];
    BenchOptions o;
    o.clients = {100, 1000};
    o.runs = {{10, 64, 200}, {100, 64, 200}};
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string key = argv[i];
        const char* value = argv[i + 1];
        if (key == "--exe") {
            o.exe = value;
        } else if (key == "--server") {
            if (!KindFromName(value, o.kind)) {
                return Usage();
            }
        } else if (key == "--clients") {
            o.clients = ParseList(value);
        } else if (key == "--runs") {
            if (!ParseRuns(value, o.runs)) {
                return Usage();
            }
        } else if (key == "--seconds") {
            o.seconds = std::atof(value);
        } else if (key == "--writers") {
            o.writers = std::atoi(value);
        } else if (key == "--mib") {
            o.mib = std::atoi(value);
        } else if (key == "--cdf-dir") {
            o.cdfDir = value;
        } else if (key == "--tls") {
            std::string pair = value;
            size_t colon = pair.find(':');
            if (colon == std::string::npos) {
                return Usage();
            }
            SetBenchTls(pair.substr(0, colon), pair.substr(colon + 1));
        } else if (key == "--server-arg") {
            AddBenchServerArg(value);
        } else if (key == "--resume-window") {
            SetBenchResumeWindow(std::atoi(value));
        } else if (key == "--perf-dir") {
            o.perfDir = value;
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
    if (o.exe.empty() || o.clients.empty() || o.runs.empty()) {
        return Usage();
    }
    if (BenchTls() && scenario != "fanout") {
        std::fprintf(stderr, "tovrel-bench: --tls goes with fanout\n");
        return Usage();
    }
    if (BenchResumeWindow() > 0 && (o.kind != ServerProcess::Kind::kTovrel || BenchTls())) {
        std::fprintf(stderr, "tovrel-bench: --resume-window goes with --server tovrel\n");
        return Usage();
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
