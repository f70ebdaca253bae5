#pragma once

#include <hiredis/hiredis.h>

#include <cstddef>
#include <memory>
#include <string>

// One connection to Redis, driven without ever waiting: commands are queued
// with Append and written by Exchange, which also takes in whatever replies
// have arrived; NextReply hands them out in order. The room link talks to
// Redis only through this, so tests can put a scripted channel in its place.
class CRedisChannel {
  public:
    virtual ~CRedisChannel() {}

    // Starts connecting to host:port; false (see Error) when that failed at
    // once. A channel that was open is closed first.
    virtual bool Open(const std::string& host, int port) = 0;
    virtual void Close() = 0;
    // Queues one command; nothing is written before the next Exchange.
    // False (see Error) when it could not be queued (no memory).
    virtual bool Append(int argc, const char** argv, const std::size_t* lengths) = 0;
    // Writes what is queued and reads what has arrived, as far as the socket
    // allows right now. False (see Error) once the connection is broken.
    virtual bool Exchange() = 0;
    // The next complete reply, to be released with freeReplyObject, or null
    // while none is complete.
    virtual redisReply* NextReply() = 0;
    // Whether the last Exchange took in any bytes.
    virtual bool Heard() const = 0;
    // Bytes queued by Append that are not written yet.
    virtual std::size_t Unwritten() const = 0;
    // Why the last Open, Append or Exchange failed.
    virtual std::string Error() const = 0;
};

// The channel over hiredis's own non-blocking TCP connection.
std::unique_ptr<CRedisChannel> NewHiredisChannel();
