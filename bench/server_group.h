#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server_process.h"

// One or more instances of the relay under test, seen as one: client k
// connects to instance k mod N, and accepts and usage are summed over the
// instances. Each instance may get arguments of its own (for instances that
// join one another through a shared service).
class ServerGroup {
  public:
    using ExtraArgs = std::function<std::vector<std::string>(int instance)>;

    ~ServerGroup() { Stop(); }

    // Starts `instances` copies of `exe`; false, with every one started so
    // far stopped, when one does not start.
    bool Start(ServerProcess::Kind kind, const std::string& exe, int maxConns, int instances = 1,
               const ExtraArgs& extraArgs = nullptr);
    void Stop();

    ServerProcess::Kind kind() const { return kind_; }
    int size() const { return static_cast<int>(servers_.size()); }
    ServerProcess& at(int instance) { return *servers_[static_cast<size_t>(instance)]; }
    int PortForClient(int client) const;

    long accepted() const;
    long timeouts() const;
    long slowDrops() const;
    ServerProcess::Usage ReadUsage() const;
    double MsPerTick() const;
    // "soft/hard" open-file limits of the first instance.
    std::string OpenFileLimits() const;

  private:
    ServerProcess::Kind kind_ = ServerProcess::Kind::kTovrel;
    std::vector<std::unique_ptr<ServerProcess>> servers_;
};
