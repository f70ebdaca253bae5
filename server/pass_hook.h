#pragma once

// Work of a pass that is not a client's turn (the room's link, the metrics
// endpoint), registered with the server where the program is put together:
// before the clients' turns, what must go out in them; after them, what
// they handed over. Each does nothing unless it says otherwise.
class CPassHook {
  public:
    virtual ~CPassHook() {}
    virtual void BeforeClients() {}
    virtual void AfterClients() {}
};
