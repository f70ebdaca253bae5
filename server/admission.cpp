#include "server/admission.h"

#include <cstdlib>

#include "console/console.h"

bool CAdmission::AddressAllowed(const CSettings& settings, std::uint32_t peer) {
    for (const CAddressRange& r : settings.deny) {
        if (r.Contains(peer)) {
            return false;
        }
    }
    bool allowed = settings.allow.empty();
    for (const CAddressRange& r : settings.allow) {
        allowed = allowed || r.Contains(peer);
    }
    return allowed;
}

CAdmission::Refusal CAdmission::Check(const CSettings& settings, std::uint32_t peer,
                                      int clients) const {
    if (!AddressAllowed(settings, peer)) {
        return kAddress;
    }
    if (settings.maxClients > 0 && clients >= settings.maxClients) {
        return kMaxClients;
    }
    if (settings.maxPerAddress > 0 && CountOf(peer) >= settings.maxPerAddress) {
        return kPerAddress;
    }
    return kNone;
}

bool CAdmission::Add(const CSettings& settings, std::uint32_t peer) {
    if (settings.maxPerAddress <= 0) {
        return false;
    }
    ++perAddress_[peer];
    return true;
}

void CAdmission::Remove(std::uint32_t peer) {
    auto found = perAddress_.find(peer);
    if (found != perAddress_.end() && --found->second <= 0) {
        perAddress_.erase(found);
    }
}

int CAdmission::CountOf(std::uint32_t peer) const {
    auto found = perAddress_.find(peer);
    return found != perAddress_.end() ? found->second : 0;
}

void CAdmission::Refused(Refusal why, long long now) {
    Tally& t = tallies_[why];
    ++t.pending;
    if (!t.reported || now - t.reportedAt >= kRefusalReportMs) {
        Print(why, now);
    }
}

void CAdmission::Report(long long now) {
    for (int why = 0; why < kReasons; ++why) {
        const Tally& t = tallies_[why];
        if (t.pending > 0 && now - t.reportedAt >= kRefusalReportMs) {
            Print(static_cast<Refusal>(why), now);
        }
    }
}

void CAdmission::Print(Refusal why, long long now) {
    static const char* const kReasonText[kReasons] = {"address not allowed", "max-clients",
                                                      "max-per-address"};
    Tally& t = tallies_[why];
    ConsolePrint("Connections refused (%s): %d\n", kReasonText[why], t.pending);
    t.pending = 0;
    t.reported = true;
    t.reportedAt = now;
}
