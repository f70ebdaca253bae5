#include "server/intake.h"

#include "server/client.h"
#include "server/server.h"

void CIntake::Begin(int lights) {
    left_ = kIntakePerPass;
    lights_ = lights;
    lightShare_ =
        lights > 0 && kIntakePerPass / lights < kLightShare ? kIntakePerPass / lights : kLightShare;
    servedShare_ = kIntakePerPass - lightShare_ * lights;
}

bool CIntake::ServedStillToCome(const CClient* client) const {
    return served_ != nullptr && served_ != client && served_->mayRead && !served_->Dropping() &&
           served_->tickedPass != g_server.pass;
}

int CIntake::Allowance(CClient* client, int most) {
    if (served_ == nullptr) {
        served_ = client;  // the first to come while nobody is served is next
    }
    // Kept back for the light shares still to come, and for the served
    // client if its turn is still to come.
    int lightsAfter = lights_ - (client->input.size == 0 ? 1 : 0);
    long long kept = static_cast<long long>(lightShare_) * (lightsAfter > 0 ? lightsAfter : 0);
    if (ServedStillToCome(client)) {
        kept += servedShare_;
    }
    long long allowance = left_ - kept;
    if (client->input.size == 0 && allowance < lightShare_) {
        allowance = lightShare_ < left_ ? lightShare_ : left_;
    }
    if (allowance > most) {
        allowance = most;
    }
    return allowance > 0 ? static_cast<int>(allowance) : 0;
}

void CIntake::Took(const CClient* client, int bytes, int allowance) {
    left_ -= bytes;
    if (bytes < allowance) {
        Forget(client);  // it has no more waiting: the next one is served
    }
}

void CIntake::FinishedFrame(const CClient* client) {
    Forget(client);
}

void CIntake::EndTurn(bool light) {
    if (light && lights_ > 0) {
        --lights_;
    }
}

void CIntake::Forget(const CClient* client) {
    if (served_ == client) {
        served_ = nullptr;
    }
}
