#include "policy/intake.h"

void CIntake::Begin(int lights, int halves) {
    left_ = kIntakePerPass;
    lights_ = lights;
    lightShare_ =
        lights > 0 && kIntakePerPass / lights < kLightShare ? kIntakePerPass / lights : kLightShare;
    yielded_ = nullptr;
    if (served_ != nullptr && ++servedPasses_ >= kServedPasses && halves > 0) {
        yielded_ = served_;  // a trickle must not keep the others waiting
        served_ = nullptr;
    }
}

int CIntake::Allowance(const void* client, int halfBytes, int missing, int most) {
    if (served_ == nullptr && client != yielded_) {
        served_ = client;  // the first to come while nobody is served is next
        servedPasses_ = 0;
    }
    bool light = halfBytes == 0;
    long long allowance;
    if (client != served_) {
        // A half received frame waits for its sender's turn to be served,
        // unless what it lacks fits in a light share: a short message that
        // came in two pieces is no large one.
        allowance = light ? lightShare_ : missing <= lightShare_ ? missing : 0;
    } else {
        // The rest, but for the light shares still to come.
        int lightsAfter = lights_ - (light ? 1 : 0);
        allowance =
            left_ - static_cast<long long>(lightShare_) * (lightsAfter > 0 ? lightsAfter : 0);
        if (light && allowance < lightShare_) {
            allowance = lightShare_;
        }
    }
    if (allowance > left_) {
        allowance = left_;
    }
    if (allowance > most) {
        allowance = most;
    }
    return allowance > 0 ? static_cast<int>(allowance) : 0;
}

void CIntake::Took(const void* client, int bytes) {
    left_ -= bytes;
    if (bytes == 0) {
        Forget(client);  // nothing waiting: the next one is served
    }
}

void CIntake::FinishedFrame(const void* client) {
    Forget(client);
}

void CIntake::EndTurn(bool light) {
    if (light && lights_ > 0) {
        --lights_;
    }
}

void CIntake::Forget(const void* client) {
    if (served_ == client) {
        served_ = nullptr;
    }
}
