#include "server/access.h"

#include <cstdlib>

#include "console/console.h"
#include "server/options.h"

bool ParseAddressRange(const std::string& text, CAddressRange* range) {
    size_t slash = text.find('/');
    unsigned long address = 0;
    if (!ParseIPv4(text.substr(0, slash), &address)) {
        return false;
    }
    int bits = 32;
    if (slash != std::string::npos) {
        std::string prefix = text.substr(slash + 1);
        if (prefix.empty() || prefix.size() > 2 ||
            prefix.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        bits = std::atoi(prefix.c_str());
        if (bits > 32) {
            return false;
        }
    }
    std::uint32_t mask = bits == 0 ? 0 : ~static_cast<std::uint32_t>(0) << (32 - bits);
    std::uint32_t network = static_cast<std::uint32_t>(address);
    // 10.1.2.3/8 is most likely a typing error: it would not say what was meant.
    if ((network & ~mask) != 0) {
        return false;
    }
    range->address = network;
    range->mask = mask;
    return true;
}

CAdmission::Refusal CAdmission::Check(const CSettings& settings, std::uint32_t peer,
                                      int clients) const {
    for (const CAddressRange& r : settings.deny) {
        if (r.Contains(peer)) {
            return kAddress;
        }
    }
    if (!settings.allow.empty()) {
        bool allowed = false;
        for (const CAddressRange& r : settings.allow) {
            allowed = allowed || r.Contains(peer);
        }
        if (!allowed) {
            return kAddress;
        }
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
