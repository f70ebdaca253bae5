#pragma once

class CClient;

// What all clients hold for their output queues and partly received input,
// kept as one running total that each change adjusts, so the bound costs
// nothing per pass. When more room is needed than the bound leaves, the
// client holding the most is dropped first (its output freed at once, the
// client itself deleted at its next turn), until the room is there; a
// client that holds nothing but a drained buffer gives that back instead.
// Clients are filed by the power of two of what they hold, so a change is
// O(1) and the largest is found by looking through one class.
class CMemoryBudget {
  public:
    // A client's place in the budget; lives in the client.
    struct Entry {
        long long bytes = 0;
        int sizeClass = -1;  // -1: not filed (nothing held, or being dropped)
        CClient* next = nullptr;
        CClient* prev = nullptr;
    };

    constexpr CMemoryBudget() : classes_{}, total_(0) {}

    // Brings the total up to date with what `client` holds now.
    void Update(CClient* client);
    // Takes a client out for good (it is being destroyed).
    void Forget(CClient* client);
    // Frees what others hold until `bytes` more fit for `client`. When
    // `client` itself holds the most, or nobody else is left, it is the one
    // dropped, and the answer is false.
    bool MakeRoom(CClient* client, long long bytes);

    long long Total() const { return total_; }

  private:
    static constexpr int kClasses = 64;
    void File(CClient* client, int sizeClass);
    CClient* Largest() const;

    CClient* classes_[kClasses];
    long long total_;
};
