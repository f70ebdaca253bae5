#include "room/host_lookup.h"

#include <mutex>
#include <system_error>
#include <thread>

#include "platform/platform.h"

// Shared by the pass and the lookup thread; the mutex guards all of it.
struct CHostLookup::Slot {
    std::mutex lock;
    bool done = false;
    bool found = false;
    std::string text;
};

CHostLookup::CHostLookup()
    : resolve_([](const std::string& host, std::string* address, std::string* error) {
          char found[64] = {};
          char why[160] = {};
          bool ok = Platform().LookUpHost(host.c_str(), found, sizeof found, why, sizeof why);
          *address = found;
          *error = why;
          return ok;
      }) {}

void CHostLookup::Start(const std::string& host) {
    if (slot_ != nullptr && host == host_) {
        return;
    }
    host_ = host;
    std::shared_ptr<Slot> slot = std::make_shared<Slot>();
    Resolve resolve = resolve_;
    try {
        std::thread([slot, resolve, host]() {
            std::string address, error;
            bool found = resolve(host, &address, &error);
            std::lock_guard<std::mutex> hold(slot->lock);
            slot->found = found;
            slot->text = found ? address : error;
            slot->done = true;
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: this attempt fails, the next one tries again.
        slot->done = true;
        slot->text = "no thread for the look-up";
    }
    slot_ = slot;
}

CHostLookup::Answer CHostLookup::Take(std::string* text) {
    if (slot_ == nullptr) {
        return Answer::kNone;
    }
    // Kept alive here until the lock is released.
    std::shared_ptr<Slot> slot = slot_;
    std::lock_guard<std::mutex> hold(slot->lock);
    if (!slot->done) {
        return Answer::kPending;
    }
    *text = slot->text;
    slot_.reset();
    return slot->found ? Answer::kAddress : Answer::kFailed;
}

bool IsNumericHost(const std::string& host) {
    if (host.find(':') != std::string::npos) {
        return true;  // IPv6: a host name has no colon
    }
    bool digits = false;
    for (char c : host) {
        if (c >= '0' && c <= '9') {
            digits = true;
        } else if (c != '.') {
            return false;
        }
    }
    return digits;
}
