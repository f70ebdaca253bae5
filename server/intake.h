#pragma once

class CClient;

// Most bytes all clients together receive in one pass: less than one send
// carries to each reader, so a reader that takes a full send every pass
// keeps up, and one that fell behind catches up.
constexpr int kIntakePerPass = 49152;
// What a client with nothing half received may always take in a pass
// (less when very many share it), so a short message gets in at once.
constexpr int kLightShare = 4096;

// Shares out one pass's intake among the clients whose sockets may have
// bytes, in the order of their turns. Each client with nothing half
// received may take a light share. The rest goes first to one client at a
// time, the one being served, up to a whole receive, until it has finished
// a frame or found less waiting than it could take; the next client whose
// turn comes is served after it. What is left over goes, in turn order, to
// whoever wants it. Serving one at a time lets large frames from several
// senders complete one after another instead of all in the same pass, so
// readers see them spread out. Bytes not taken wait in the kernel.
class CIntake {
  public:
    constexpr CIntake() : left_(0), lights_(0), lightShare_(0), servedShare_(0), served_(nullptr) {}

    // A pass starts; `lights` of the clients that may read have nothing
    // half received.
    void Begin(int lights);
    // What `client`, whose turn it is, may take now, at most `most`.
    int Allowance(CClient* client, int most);
    // `client` took `bytes` of the `allowance` it had.
    void Took(const CClient* client, int bytes, int allowance);
    // A frame of `client` has become whole.
    void FinishedFrame(const CClient* client);
    // A turn has ended; `light` when that client was counted at Begin.
    void EndTurn(bool light);
    // `client` is going away.
    void Forget(const CClient* client);

  private:
    bool ServedStillToCome(const CClient* client) const;

    int left_;
    int lights_;
    int lightShare_;
    int servedShare_;
    CClient* served_;
};
