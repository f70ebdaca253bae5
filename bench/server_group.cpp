#include "server_group.h"

bool ServerGroup::Start(ServerProcess::Kind kind, const std::string& exe, int maxConns,
                        int instances, const ExtraArgs& extraArgs) {
    kind_ = kind;
    for (int i = 0; i < instances; ++i) {
        servers_.push_back(std::make_unique<ServerProcess>());
        std::vector<std::string> extra = extraArgs ? extraArgs(i) : std::vector<std::string>();
        if (!servers_.back()->Start(kind, exe, maxConns, extra)) {
            Stop();
            return false;
        }
    }
    return true;
}

void ServerGroup::Stop() {
    for (auto& s : servers_) {
        s->Stop();
    }
    servers_.clear();
}

int ServerGroup::PortForClient(int client) const {
    return servers_[static_cast<size_t>(client) % servers_.size()]->clientPort();
}

long ServerGroup::accepted() const {
    long n = 0;
    for (const auto& s : servers_) {
        n += s->accepted();
    }
    return n;
}

long ServerGroup::timeouts() const {
    long n = 0;
    for (const auto& s : servers_) {
        n += s->timeouts();
    }
    return n;
}

long ServerGroup::slowDrops() const {
    long n = 0;
    for (const auto& s : servers_) {
        n += s->slowDrops();
    }
    return n;
}

ServerProcess::Usage ServerGroup::ReadUsage() const {
    ServerProcess::Usage total;
    for (const auto& s : servers_) {
        total.Add(s->ReadUsage());
    }
    return total;
}

double ServerGroup::MsPerTick() const {
    return servers_.empty() ? 10.0 : servers_.front()->MsPerTick();
}

std::string ServerGroup::OpenFileLimits() const {
    return servers_.empty() ? "?" : servers_.front()->OpenFileLimits();
}
