#include "server/client_timers.h"

void CClientTimers::RestartIdle() {
    if (idleFrozen_) {
        idleLeft_ = kIdleTimeoutMs;
    } else {
        // This pass's share of the time has been taken already.
        idleAt_ = clock_.Now() + kIdleTimeoutMs;
    }
}

void CClientTimers::OutputQueued(unsigned long long seq) {
    stallLeftMs_ = kStallTimeoutMs;
    if (idleFrozen_) {
        return;
    }
    // What a countdown lowered at every turn would show now: lowered by
    // this pass only once this client's turn has come in it, whether or
    // not it had anything to do then.
    long long through = clock_.TurnCame(seq) ? clock_.Now() : clock_.Before();
    idleLeft_ = static_cast<int>(idleAt_ - through);
    idleFrozen_ = true;
}

bool CClientTimers::OutputDrained(long long from) {
    if (!idleFrozen_) {
        return false;
    }
    idleFrozen_ = false;
    idleAt_ = from + idleLeft_;
    return true;
}
