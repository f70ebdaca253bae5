#pragma once

#include "policy/deadlines.h"

// Work of a pass that is not a client's turn (the room's link, the metrics
// endpoint), registered with the server where the program is put together:
// before the clients' turns, what must go out in them; after them, what
// they handed over. Each does nothing unless it says otherwise; `clock` is
// the pass clock, already advanced for this pass.
class CPassHook {
  public:
    virtual ~CPassHook() {}
    virtual void BeforeClients(const CDeadlines& /*clock*/) {}
    virtual void AfterClients(const CDeadlines& /*clock*/) {}
};
