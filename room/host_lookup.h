#pragma once

#include <functional>
#include <memory>
#include <string>

// A host name looked up on a thread of its own, so the pass never waits for
// DNS: Start begins it, Take collects the answer on a later pass. A lookup
// still running when this is destroyed is left to finish by itself; its
// answer is then dropped.
class CHostLookup {
  public:
    // The look-up itself, run on the lookup thread: true with an address
    // as text, false with the reason.
    using Resolve =
        std::function<bool(const std::string& host, std::string* address, std::string* error)>;
    enum class Answer { kNone, kPending, kAddress, kFailed };

    CHostLookup();  // through Platform().LookUpHost
    explicit CHostLookup(Resolve resolve) : resolve_(std::move(resolve)) {}

    // Begins looking `host` up unless its look-up is under way; one of
    // another host is dropped.
    void Start(const std::string& host);
    // kNone with no look-up begun, kPending while it runs; otherwise the
    // answer (the address or the reason in *text), which is taken: the next
    // Take says kNone.
    Answer Take(std::string* text);

  private:
    struct Slot;
    Resolve resolve_;
    std::shared_ptr<Slot> slot_;
    std::string host_;  // whose look-up slot_ holds
};

// True for an IPv4 or IPv6 address, which needs no look-up.
bool IsNumericHost(const std::string& host);
