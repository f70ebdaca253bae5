#pragma once

#include <string>
#include <vector>

// What a client that resumes receives, put right: it asks each new
// connection for what came after the last position it has, keeps the
// replay rule (the frames not beginning with "@" just before "@RESUMED",
// as many as it says were replayed, are the replay; earlier ones came
// before the resume was read and are dropped) and takes the position off
// every tagged message. A server without a resume window relays the
// request like any message: seeing its own request come back, the reader
// stops asking and passes frames on as they are.
class CResumeReader {
  public:
    // What Take found in one frame.
    struct Output {
        std::vector<std::string> texts;  // to print, in order
        std::string missed;              // MISSED of "@RESUMED" when not "0"
        bool notResuming = false;        // the server relayed our request
    };

    // The frame a new connection sends first (after "@AUTH"): "@RESUME",
    // with the last position when there is one; empty once the server is
    // known not to resume.
    std::string Request();
    // One frame received on the connection Request was last sent on.
    Output Take(const std::string& frame);

  private:
    void Untag(const std::string& frame, Output* out);

    std::string position_;  // the last one received; empty: none
    std::string request_;
    bool awaiting_ = false;  // "@RESUMED" has not come yet
    bool notResuming_ = false;
    std::vector<std::string> held_;  // frames not beginning with "@" before "@RESUMED"
};

// The line that says how many messages were missed: MISSED is a count or "?".
std::string MissedText(const std::string& missed);
