#pragma once

// What OpenSSL holds on the heap, so that the memory budget can count it:
// its allocations go through counting functions that keep the live total.
// Each TLS connection is charged what its own OpenSSL calls left allocated
// (CTlsHeapCharge); the rest (contexts, certificates, OpenSSL's own tables)
// is the part no connection holds. Single-threaded, as the server is.

// Routes OpenSSL's allocations through the counters. It must come before
// any other OpenSSL call; false, and nothing counted, when it came too late
// or the C library cannot tell a block's size.
bool CountTlsHeap();
// Bytes OpenSSL holds now, as the C library sized its blocks; 0 when not counted.
long long TlsHeapBytes();
// Of that, what no connection is charged with.
long long TlsHeapOutsideConnections();

// What one connection's OpenSSL calls left allocated: Begin before a call,
// End after it; the growth is the connection's until it is Released.
class CTlsHeapCharge {
  public:
    CTlsHeapCharge() = default;
    ~CTlsHeapCharge() { Release(); }
    CTlsHeapCharge(const CTlsHeapCharge&) = delete;
    CTlsHeapCharge& operator=(const CTlsHeapCharge&) = delete;

    // `before`: what OpenSSL held when the calls began.
    void Begin(long long before = TlsHeapBytes()) { before_ = before; }
    // What the calls since Begin added; 0 when they freed more.
    long long Growth() const { return TlsHeapBytes() > before_ ? TlsHeapBytes() - before_ : 0; }
    // Charges what the calls since Begin added, or takes off what they freed.
    void End();
    // Forgets the charge: the connection is gone.
    void Release();
    long long Bytes() const { return bytes_; }

  private:
    long long before_ = 0;
    long long bytes_ = 0;
};
