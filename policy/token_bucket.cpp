#include "policy/token_bucket.h"

#include <cmath>

void CTokenBucket::SetLimits(double rate, double burst, long long now) {
    bool wasLimited = Limited();
    Refill(now);
    if (!(rate > 0)) {
        perMs_ = 0;
        overSince_ = -1;
        return;
    }
    if (!(burst > 0)) {
        burst = rate * 2 < 1 ? 1 : rate * 2;
    }
    // A burst below one message could never send one.
    burst = burst < 1 ? 1 : burst;
    long long perMs = std::llround(rate * kOne / 1000);
    perMs_ = perMs > 0 ? perMs : 1;
    burst_ = std::llround(burst * kOne);
    if (!wasLimited || credit_ > burst_) {
        credit_ = burst_;
    }
    at_ = now;
}

void CTokenBucket::Refill(long long now) {
    if (now <= at_) {
        return;
    }
    long long room = burst_ - credit_;
    long long gained = perMs_ > 0 && (now - at_) < room / perMs_ + 1 ? (now - at_) * perMs_ : room;
    credit_ += gained < room ? gained : room;
    at_ = now;
}

bool CTokenBucket::Take(long long now) {
    if (!Limited()) {
        return true;
    }
    Refill(now);
    if (credit_ < kOne) {
        return false;
    }
    credit_ -= kOne;
    return true;
}

long long CTokenBucket::CreditAt(long long now) {
    if (!Limited()) {
        return now;
    }
    Refill(now);
    if (credit_ >= kOne) {
        return now;
    }
    return at_ + (kOne - credit_ + perMs_ - 1) / perMs_;
}
