// The Redis channel over hiredis: hiredis owns the socket, so no system
// header is needed here beyond what hiredis itself includes.
#include "room/redis_channel.h"

#include <hiredis/sds.h>

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
        // A peer that vanished without a word shows up in the end.
        redisEnableKeepAlive(context_);
        return true;
    }

    void Close() override {
        if (context_ != nullptr) {
            redisFree(context_);
            context_ = nullptr;
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
        int done = 0;
        heard_ = false;
        if (redisBufferWrite(context_, &done) != REDIS_OK) {
            return Broken();
        }
        // Each read takes what one call gets; the reader's length only grows
        // while nothing is taken out, so no growth means nothing arrived.
        for (std::size_t taken = 0; taken < kMaxReadPerExchange;) {
            std::size_t before = context_->reader->len;
            if (redisBufferRead(context_) != REDIS_OK) {
                return Broken();
            }
            std::size_t after = context_->reader->len;
            if (after <= before) {
                break;
            }
            taken += after - before;
            heard_ = true;
        }
        return true;
    }

    redisReply* NextReply() override {
        void* reply = nullptr;
        if (context_ == nullptr || redisGetReply(context_, &reply) != REDIS_OK) {
            return nullptr;
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
    std::string error_;
    bool heard_ = false;
};

}  // namespace

std::unique_ptr<CRedisChannel> NewHiredisChannel() {
    return std::unique_ptr<CRedisChannel>(new CHiredisChannel());
}
