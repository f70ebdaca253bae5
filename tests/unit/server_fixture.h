#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "console/console.h"
#include "fake_platform.h"
#include "server/client.h"
#include "server/fast_commands.h"
#include "server/loop.h"
#include "server/relay.h"
#include "server/server.h"

// Runs the real server core on a FakePlatform listening on port 5000, with
// an empty history, and collects the event lines it prints.
class ServerFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        SetPlatform(&fake);
        g_server.relay.ClearHistory();
        g_quit.store(0);
        g_drainRequested.store(0);
        ASSERT_TRUE(g_server.Open(5000));
        printed().clear();
        SetConsoleSink([](const char* line) { printed() += line; });
    }

    void TearDown() override {
        g_server.Shutdown();
        SetConsoleSink(nullptr);
        g_server.relay.ClearHistory();
        SetPlatform(nullptr);
    }

    // Everything printed since the last call (or since SetUp).
    std::string Console() {
        std::string out;
        out.swap(printed());
        return out;
    }

    static std::string& printed() {
        static std::string text;
        return text;
    }

    // Connects a peer and runs the pass that accepts it.
    SocketHandle Connect() {
        SocketHandle s = fake.QueueConnection();
        g_server.Update(0);
        return s;
    }

    void Pass(int elapsedMs = 20) { g_server.Update(elapsedMs); }

    int ClientCount() const {
        int n = 0;
        for (CClient* c = g_server.clients; c != nullptr; c = c->next) {
            ++n;
        }
        return n;
    }

    CClient* FindClient(SocketHandle s) const {
        for (CClient* c = g_server.clients; c != nullptr; c = c->next) {
            if (c->Socket() == s) {
                return c;
            }
        }
        return nullptr;
    }

    FakePlatform fake;
};
