#pragma once

#include <hiredis/hiredis.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "room/room_delivery.h"
#include "room/room_entry.h"
#include "room/stream_id.h"

constexpr int kReadCount = 2000;  // most entries one read (XREAD, XREVRANGE) asks for
// The newest entries looked at for the history: enough that a few that are
// no message do not leave it short.
constexpr std::size_t kHistoryScan = 10;

// The room's last messages as an instance gathers them when it first
// connects: the newest entries, read backwards page by page (XREVRANGE
// ... COUNT), until it has looked at max(window, kHistoryScan) of them or
// reached the stream's start. Only then are they handed over, at once and
// oldest first, with their ids: at most max(window, kHistoryLength)
// messages, the history and what clients that resume are answered from.
// A page asks for at most kReadCount entries; after one whose reply reached
// its bound (an entry held back by the reply filter) the next asks for as
// many as came whole, and the count doubles back from there, so no reply
// holds more than an XREAD's.
class CStreamAnchor {
  public:
    using Skip = std::function<void(const redisReply* id, const char* why)>;

    CStreamAnchor() = default;
    ~CStreamAnchor() { Drop(); }
    CStreamAnchor(const CStreamAnchor&) = delete;
    CStreamAnchor& operator=(const CStreamAnchor&) = delete;

    // How many relayed messages clients may resume from (0: none).
    void UseWindow(std::size_t window) { window_ = window; }
    // Starts anew, dropping what a broken connection left half gathered.
    void Begin();
    // How many entries the next page asks for, and (after the first, which
    // reads from the newest) the id it reads back from: the one just before
    // the oldest seen, so that no entry comes twice.
    std::size_t NextCount() const;
    const CStreamId& NextFrom() const { return nextFrom_; }
    // Takes one page's entries, newest first; those that are no message are
    // handed to `skip`.
    void TakePage(const redisReply* page, CRoomEntry& entry, const Skip& skip);
    // Whether another page is to be read before the hand-over.
    bool More() const { return more_; }
    void HandOver(CRoomDelivery& delivery);
    // Frees what was gathered; no more pages until the next Begin.
    void Drop();

  private:
    std::size_t Scan() const;
    std::size_t Kept() const;

    std::size_t window_ = 0;
    std::vector<char*> texts_;  // newest first, owned until handed over
    std::vector<std::string> ids_;
    std::size_t looked_ = 0;  // entries looked at so far
    std::size_t pageCount_ = static_cast<std::size_t>(kReadCount);
    CStreamId nextFrom_;
    bool more_ = false;
};
