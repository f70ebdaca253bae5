#include "perf_recorder.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "clock.h"

namespace {

pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<const char*> argv;
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, 0);
        ::dup2(devnull, 1);
        ::execvp(argv[0], const_cast<char* const*>(argv.data()));
        std::_Exit(127);
    }
    return pid;
}

}  // namespace

bool PerfRecorder::Start(pid_t target, const std::string& prefix) {
    std::string pid = std::to_string(target);
    // cpu-clock samples even where the machine offers no hardware counters;
    // DWARF call graphs need no frame pointers in the server's build.
    children_.push_back(Spawn({"perf", "record", "-q", "-e", "cpu-clock", "-F", "499",
                               "--call-graph", "dwarf,16384", "-p", pid, "-o", prefix + ".data"}));
    children_.push_back(
        Spawn({"perf", "stat", "-e", "task-clock,context-switches,cpu-migrations,page-faults", "-p",
               pid, "-o", prefix + ".stat.txt"}));
    // Let perf attach before the window opens.
    ::usleep(300000);
    for (pid_t child : children_) {
        int status;
        if (child <= 0 || ::waitpid(child, &status, WNOHANG) == child) {
            std::fprintf(stderr, "tovrel-bench: perf did not start\n");
            Stop();
            return false;
        }
    }
    return true;
}

void PerfRecorder::Stop() {
    for (pid_t child : children_) {
        if (child > 0) {
            ::kill(child, SIGINT);
        }
    }
    for (pid_t child : children_) {
        if (child <= 0) {
            continue;
        }
        int status;
        std::int64_t deadline = NowNs() + 60 * kNsPerSec;  // writing a large profile takes a while
        while (::waitpid(child, &status, WNOHANG) != child) {
            if (NowNs() > deadline) {
                ::kill(child, SIGKILL);
                ::waitpid(child, &status, 0);
                break;
            }
            ::usleep(20000);
        }
    }
    children_.clear();
}
