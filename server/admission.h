#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "server/settings.h"

// Who is let in at accept, before any client is made for a connection: the
// address rules, the bound on clients in all and per peer address. The
// counts per address are kept in a table updated at accept and at removal,
// so no check walks the clients. Refusals are reported on the console at
// most once a second per reason, with how many there were since the last
// report.
class CAdmission {
  public:
    enum Refusal { kNone = -1, kAddress = 0, kMaxClients, kPerAddress, kReasons };

    // Why a connection from `peer` would be refused with `clients` clients
    // in all, or kNone.
    Refusal Check(const CSettings& settings, std::uint32_t peer, int clients) const;
    // Whether the address rules let `peer` in.
    static bool AddressAllowed(const CSettings& settings, std::uint32_t peer);
    // A client from `peer` was made, or removed. Counted only while a bound
    // per address is set; Add says whether it counted, for the matching Remove.
    bool Add(const CSettings& settings, std::uint32_t peer);
    void Remove(std::uint32_t peer);
    int CountOf(std::uint32_t peer) const;

    // A connection was refused at pass time `now` (milliseconds).
    void Refused(Refusal why, long long now);
    // Reports refusals still unreported once their second is up; once a pass.
    void Report(long long now);

  private:
    void Print(Refusal why, long long now);

    std::unordered_map<std::uint32_t, int> perAddress_;
    struct Tally {
        int pending = 0;
        bool reported = false;
        long long reportedAt = 0;
    };
    Tally tallies_[kReasons];
};

// Least time between two refusal reports of one reason.
constexpr long long kRefusalReportMs = 1000;
