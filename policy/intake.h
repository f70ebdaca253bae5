#pragma once

// Most bytes all clients together receive in one pass: less than one send
// carries to each reader, so a reader that takes a full send every pass
// keeps up, and one that fell behind catches up.
constexpr int kIntakePerPass = 49152;
// What a client with nothing half received may always take in a pass
// (less when very many share it), so a short message gets in at once.
constexpr int kLightShare = 4096;
// Passes one client may keep the turn while another waits with a half
// received frame: a sender at full rate finishes a 131072-byte frame in
// five, so only a trickle is cut short.
constexpr unsigned kServedPasses = 8;

// Shares out one pass's intake among the clients whose sockets may have
// bytes, in the order of their turns. Each client with nothing half
// received may take a light share, and one whose half frame lacks no more
// than that may finish it. Beyond that, one client at a time is served, up
// to a whole receive per pass, and only it may add to a larger half frame:
// so large frames from several senders complete one after another, and
// readers get them spread out instead of in a heap. The served client
// keeps its turn until it finishes a frame or finds nothing waiting, or,
// while others wait, for kServedPasses passes; the next client whose turn
// comes is served after it. Bytes not taken wait in the kernel.
//
// Clients are known only by an identity (any pointer that is theirs for
// their lifetime) and the numbers they report, so any kind of connection
// can take part.
class CIntake {
  public:
    constexpr CIntake()
        : left_(0),
          lights_(0),
          lightShare_(0),
          served_(nullptr),
          yielded_(nullptr),
          servedPasses_(0) {}

    // A pass starts; `lights` of the clients that may read have nothing
    // half received, `halves` others than the served one have.
    void Begin(int lights, int halves);
    // What `client`, whose turn it is, may take now, at most `most`.
    // `halfBytes` is what it holds of a frame half received (0: light);
    // `missing` is what that frame still lacks.
    int Allowance(const void* client, int halfBytes, int missing, int most);
    // `client` took `bytes`.
    void Took(const void* client, int bytes);
    // A frame of `client` has become whole.
    void FinishedFrame(const void* client);
    // A turn has ended; `light` when that client was counted at Begin.
    void EndTurn(bool light);
    // `client` is going away.
    void Forget(const void* client);
    const void* Served() const { return served_; }

  private:
    int left_;
    int lights_;
    int lightShare_;
    const void* served_;
    // The client whose long turn ended at Begin: it sits this pass out.
    const void* yielded_;
    // Passes begun since `served_` took its turn.
    unsigned servedPasses_;
};
