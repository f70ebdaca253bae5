// The Redis channel over hiredis: hiredis owns the socket, so no system
// header is needed here beyond what hiredis itself includes.
//
// hiredis's sds.h (which hiredis.h includes) declares its functions without
// C linkage: it is included first, as C.
extern "C" {
#include <hiredis/sds.h>
}

#include "room/redis_channel.h"

#include "room/reply_filter.h"

namespace {

// Most reply bytes taken in per Exchange, so a flood of replies cannot hold
// up the pass; the rest waits in the socket for the next one.
constexpr std::size_t kMaxReadPerExchange = 8u << 20;

class CHiredisChannel : public CRedisChannel {
  public:
    ~CHiredisChannel() override { Close(); }

    bool Open(const std::string& host, int port) override {
        Close();
        context_ = redisConnectNonBlock(host.c_str(), port);
        if (context_ == nullptr) {
            error_ = "out of memory";
            return false;
        }
        if (context_->err != 0) {
            return Broken();
        }
        // Replies are parsed by a reader of our own, fed through the filter;
        // hiredis's reader only gathers each read's bytes for it.
        filter_ = CReplyFilter();
        replies_ = redisReaderCreate();
        if (replies_ == nullptr) {
            Close();
            error_ = "out of memory";
            return false;
        }
        // A peer that vanished without a word shows up in the end.
        redisEnableKeepAlive(context_);
        return true;
    }

    void Close() override {
        if (context_ != nullptr) {
            redisFree(context_);
            context_ = nullptr;
        }
        if (replies_ != nullptr) {
            redisReaderFree(replies_);
            replies_ = nullptr;
        }
    }

    bool Append(int argc, const char** argv, const std::size_t* lengths) override {
        if (context_ == nullptr) {
            error_ = "not connected";
            return false;
        }
        if (redisAppendCommandArgv(context_, argc, argv, lengths) != REDIS_OK) {
            return Broken();
        }
        return true;
    }

    bool Exchange() override {
        if (context_ == nullptr) {
            error_ = "not connected";
            return false;
        }
        if (replies_->err != 0) {
            error_ = replies_->errstr;
            return false;
        }
        int done = 0;
        heard_ = false;
        if (redisBufferWrite(context_, &done) != REDIS_OK) {
            return Broken();
        }
        // Each read takes what one call gets (16 KiB at most) into hiredis's
        // reader, from where it goes through the filter to ours at once.
        for (std::size_t taken = 0; taken < kMaxReadPerExchange;) {
            if (redisBufferRead(context_) != REDIS_OK) {
                return Broken();
            }
            redisReader* raw = context_->reader;
            std::size_t got = raw->len - raw->pos;
            if (got == 0) {
                break;
            }
            filtered_.clear();
            bool ok = filter_.Feed(raw->buf + raw->pos, got, &filtered_);
            sdsclear(raw->buf);
            raw->pos = 0;
            raw->len = 0;
            if (!ok) {
                error_ = filter_.Error();
                return false;
            }
            if (redisReaderFeed(replies_, filtered_.data(), filtered_.size()) != REDIS_OK) {
                error_ = "out of memory";
                return false;
            }
            taken += got;
            heard_ = true;
        }
        return true;
    }

    redisReply* NextReply() override {
        void* reply = nullptr;
        if (replies_ == nullptr || redisReaderGetReply(replies_, &reply) != REDIS_OK) {
            return nullptr;  // a protocol error shows at the next Exchange
        }
        return static_cast<redisReply*>(reply);
    }

    std::size_t Unwritten() const override {
        // hiredis keeps what is still to be written in obuf, an sds string.
        return context_ != nullptr && context_->obuf != nullptr ? sdslen(context_->obuf) : 0;
    }

    bool Heard() const override { return heard_; }

    std::string Error() const override { return error_; }

  private:
    bool Broken() {
        error_ = context_->errstr;
        return false;
    }

    redisContext* context_ = nullptr;
    redisReader* replies_ = nullptr;
    CReplyFilter filter_;
    std::string filtered_;  // one read's bytes after the filter, reused
    std::string error_;
    bool heard_ = false;
};

}  // namespace

std::unique_ptr<CRedisChannel> NewHiredisChannel() {
    return std::unique_ptr<CRedisChannel>(new CHiredisChannel());
}
