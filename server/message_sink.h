#pragma once

// Where a client's ordinary message goes, chosen once at start: the relay
// alone, or the room's stream when a room is joined. Take owns the
// NUL-terminated heap buffer from then on.
class CMessageSink {
  public:
    virtual ~CMessageSink() {}
    virtual void Take(char* message) = 0;
};
