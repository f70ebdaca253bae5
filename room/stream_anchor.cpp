#include "room/stream_anchor.h"

#include <algorithm>
#include <cstdlib>

#include "room/redis_reply.h"
#include "stream/history.h"

void CStreamAnchor::Begin() {
    Drop();
    looked_ = 0;
    pageCount_ = static_cast<std::size_t>(kReadCount);
    nextFrom_ = CStreamId();
    more_ = true;
}

std::size_t CStreamAnchor::Scan() const {
    return std::max(window_, kHistoryScan);
}

std::size_t CStreamAnchor::Kept() const {
    return std::max(window_, kHistoryLength);
}

std::size_t CStreamAnchor::NextCount() const {
    return std::min(pageCount_, Scan() - looked_);
}

void CStreamAnchor::TakePage(const redisReply* page, CRoomEntry& entry, const Skip& skip) {
    std::size_t asked = NextCount();
    std::size_t count = reply::IsArray(page) ? page->elements : 0;
    bool heldBack = false;
    bool haveOldest = false;
    CStreamId oldest;
    for (std::size_t i = 0; i < count && looked_ < Scan(); ++i) {
        const redisReply* e = page->element[i];
        // Past the reply's bound: read again from here, fewer at a time. The
        // first entry always fits, unless it is no message.
        if (i > 0 && CRoomEntry::HeldBack(e)) {
            heldBack = true;
            pageCount_ = i;
            break;
        }
        const redisReply* id = CRoomEntry::Id(e);
        if (!reply::IsText(id) || !oldest.Parse(id->str, id->len)) {
            skip(id, "not an entry");
            break;  // no place to read on from
        }
        haveOldest = true;
        ++looked_;
        const char* fault = entry.Read(e);
        if (fault != nullptr) {
            skip(id, fault);
            continue;
        }
        if (texts_.size() < Kept()) {
            char* copy = entry.CopyText();
            if (copy != nullptr) {
                texts_.push_back(copy);
                ids_.emplace_back(id->str, id->len);
            }
        }
    }
    if (!heldBack) {
        pageCount_ = std::min(pageCount_ * 2, static_cast<std::size_t>(kReadCount));
    }
    // Done at the stream's start (a page that came short, or the first id
    // there can be), or once enough were looked at.
    bool start = !haveOldest || (!heldBack && count < asked) || oldest.IsZero();
    more_ = !start && looked_ < Scan();
    if (more_) {
        nextFrom_ = oldest.Before();
    }
}

void CStreamAnchor::HandOver(CRoomDelivery& delivery) {
    std::reverse(texts_.begin(), texts_.end());
    std::reverse(ids_.begin(), ids_.end());
    std::vector<const char*> positions;
    positions.reserve(ids_.size());
    for (const std::string& id : ids_) {
        positions.push_back(id.c_str());
    }
    delivery.ReplaceHistory(texts_.data(), positions.data(), texts_.size());
    texts_.clear();  // the texts are the delivery's now
    ids_.clear();
    more_ = false;
}

void CStreamAnchor::Drop() {
    for (char* text : texts_) {
        std::free(text);
    }
    texts_.clear();
    ids_.clear();
    more_ = false;
}
