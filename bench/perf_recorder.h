#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Runs Linux perf against one server process for a measured window: a
// sampled profile with call graphs (perf record) and event counts (perf
// stat), written beside `prefix`. Stop ends exactly the perf processes
// Start began and waits for them to write their files.
class PerfRecorder {
  public:
    ~PerfRecorder() { Stop(); }
    // False when perf could not be started.
    bool Start(pid_t target, const std::string& prefix);
    void Stop();

  private:
    std::vector<pid_t> children_;
};
