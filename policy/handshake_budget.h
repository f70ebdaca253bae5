#pragma once

// Handshake steps taken in one pass, all connections together: with one
// accept a pass, honest clients never need more.
constexpr int kHandshakeStepsPerPass = 8;

// The handshake steps that may cost a signature or a key exchange left in
// this pass, shared by every connection that has such steps, so a burst of
// hellos cannot stall one pass; the rest wait for the next. The server
// owns one, starts it again each pass and hands it to each connection it
// makes, as it does the intake.
class CHandshakeBudget {
  public:
    constexpr CHandshakeBudget() : left_(kHandshakeStepsPerPass) {}
    // A new pass: the whole budget again.
    void NewPass() { left_ = kHandshakeStepsPerPass; }
    // Takes one step; false, taking nothing, when none is left in this pass.
    bool TakeStep() {
        if (left_ <= 0) {
            return false;
        }
        --left_;
        return true;
    }

  private:
    int left_;
};
