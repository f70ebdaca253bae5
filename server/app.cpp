#include "server/app.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "console/console.h"
#include "platform/platform.h"
#include "server/fast_commands.h"
#include "server/help_text.h"
#include "server/listeners/kinds.h"
#include "server/loop.h"
#include "server/metrics_glue.h"
#include "server/option_values.h"
#include "server/options.h"
#include "server/reload.h"
#include "server/room.h"
#include "server/server.h"
#include "server/settings.h"
#include "server/token_gate.h"
#include "tovrel_version.h"

namespace {
// Set once a configuration file is named: a hang-up then asks for a reload.
std::atomic<unsigned char> g_reloadOnHangUp{0};

// A gentle request is the loop's to judge, unless one came before; a
// hang-up stops at once unless it asks for a reload.
void OnStop(StopRequest request) {
    if (request == StopRequest::kHangUp && g_reloadOnHangUp.load() != 0) {
        g_reloadRequested.store(1);
        return;
    }
    if (request != StopRequest::kGently || g_drainRequested.exchange(1) != 0) {
        g_quit.store(1);
    }
}
}  // namespace

bool SetExeDir(const char* programPath) {
    const char* lastSeparator = nullptr;
    for (const char* p = programPath; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            lastSeparator = p;
        }
    }
    size_t length =
        lastSeparator == nullptr ? 0 : static_cast<size_t>(lastSeparator - programPath) + 1;
    if (length >= sizeof g_exeDir) {
        return false;
    }
    std::memcpy(g_exeDir, programPath, length);
    g_exeDir[length] = '\0';
    return true;
}

namespace {
// How long the stop waits for an output that is slow to take the last lines.
constexpr int kConsoleFinishMs = 3000;

// Adds a listener of `maker`'s kind; false, with `failure` (a format
// taking the port) on standard error, when it cannot be opened.
bool OpenListener(std::uint32_t address, int port, std::unique_ptr<CConnectionMaker> maker,
                  const char* failure) {
    if (!g_server.AddListener(address, static_cast<std::uint16_t>(port), std::move(maker))) {
        ConsoleError(failure, port);
        return false;
    }
    return true;
}

// The TLS credentials every TLS listener shares: loaded for the first one,
// then handed to the next. Null when they do not load (the reason told).
std::shared_ptr<CTlsCredentials> SharedTls(std::shared_ptr<CTlsCredentials>* loaded) {
    if (*loaded == nullptr) {
        std::string error;
        *loaded =
            LoadTlsCredentials(g_settings.tlsCert, g_settings.tlsKey, g_settings.tlsCa, &error);
        if (*loaded == nullptr) {
            ConsoleError("tovrel: TLS not set up: %s\n", error.c_str());
        }
    }
    return *loaded;
}

int Serve(int argc, char** argv) {
    CPlatform& platform = Platform();
    platform.InstallStopHandler(OnStop);
    platform.StartNetwork();
    if (argc < 2) {
        ConsoleError("Usage: tovrel <port>\n");
        return 1;
    }
    CCommandLine line = ParseCommandLine(argc, argv, g_settings);
    switch (line.action) {
        case CCommandLine::kShowHelp:
            std::fputs(kHelpText, stdout);
            return 0;
        case CCommandLine::kShowVersion:
            std::printf("tovrel %s\n", TOVREL_VERSION);
            return 0;
        case CCommandLine::kRefuse:
            ConsoleError("tovrel: %s\nTry 'tovrel --help'.\n", line.error.c_str());
            return 1;
        case CCommandLine::kFail:
            ConsoleError("tovrel: %s\n", line.error.c_str());
            return 1;
        case CCommandLine::kServe:
            break;
    }
    // From here a hang-up asks for a reload, when a configuration file is
    // named; one before the first pass is answered by it.
    g_reloadOnHangUp.store(line.configNamed ? 1 : 0);
    if ((!g_settings.redisHost.empty() || !g_settings.redisSentinels.empty()) &&
        !RoomLinkSupported()) {
        ConsoleError("tovrel: this build has no Redis support (--redis)\n");
        return 1;
    }
    if (g_settings.tlsPort != 0 && !TlsSupported()) {
        ConsoleError("tovrel: this build has no TLS support (--tls-port)\n");
        return 1;
    }
    if (g_settings.wssPort != 0 && !WssSupported()) {
        ConsoleError("tovrel: this build has no WebSocket or TLS support (--wss-port)\n");
        return 1;
    }
    if (g_settings.wsPort != 0 && !WebSocketSupported()) {
        ConsoleError("tovrel: this build has no WebSocket support (--ws-port)\n");
        return 1;
    }
    if (!line.portGiven) {
        ConsoleError("Usage: tovrel <port>\n");
        return 1;
    }
    if (!SetExeDir(argv[0])) {
        ConsoleError("Program path too long!\n");
        return 1;
    }
    ConsolePrint("%s\n", g_exeDir);
    int port = ParsePort(line.portText, PortSyntax::kLeading);
    if (port == 0) {
        ConsoleError("Invalid port!\n");
        return 1;
    }
    // Read before the port opens, so no client ever meets a server without them.
    std::string why;
    if (!g_tokens.Load(g_settings.tokenFile, &why)) {
        ConsoleError("tovrel: token file %s %s\n", g_settings.tokenFile.c_str(), why.c_str());
        return 1;
    }
    if (!g_server.Open(port)) {
        // "serevr" as it has always been printed: scripts match the line.
        ConsoleError("Can't open serevr at port %d!\n", port);
        return 1;
    }
    // Alone, positions count from this run's start by the wall clock, so
    // those of an earlier run are told apart.
    g_server.relay.EnableResume(g_settings.resumeWindow, Platform().WallClockMs(), g_server.memory);
    std::shared_ptr<CTlsCredentials> tls;
    if (g_settings.tlsPort != 0 &&
        (SharedTls(&tls) == nullptr ||
         !OpenListener(0, g_settings.tlsPort, MakeTlsMaker(tls), "Can't open TLS at port %d!\n"))) {
        return 1;
    }
    CServerMetrics metrics(g_server);
    if (!metrics.Open()) {
        ConsoleError("Can't open metrics at %s:%d!\n", g_settings.metricsAddress.c_str(),
                     g_settings.metricsPort);
        return 1;
    }
    if (g_settings.wsPort != 0 &&
        !OpenListener(static_cast<std::uint32_t>(g_settings.bindIPv4), g_settings.wsPort,
                      MakeWebSocketMaker(g_settings.wsOrigins, g_settings.resumeWindow != 0),
                      "Can't open WebSocket port %d!\n")) {
        return 1;
    }
    if (g_settings.wssPort != 0 &&
        (SharedTls(&tls) == nullptr ||
         !OpenListener(0, g_settings.wssPort,
                       MakeWssMaker(tls, g_settings.wsOrigins, g_settings.resumeWindow != 0),
                       "Can't open WebSocket TLS port %d!\n"))) {
        return 1;
    }
    ConsolePrint("Server is open at port %d\n", port);
    if (g_settings.tlsPort != 0) {
        ConsolePrint("TLS is open at port %d\n", g_settings.tlsPort);
    }
    if (g_settings.metricsPort != 0) {
        ConsolePrint("Metrics at http://%s:%d/metrics\n", g_settings.metricsAddress.c_str(),
                     g_settings.metricsPort);
    }
    if (g_settings.wsPort != 0) {
        ConsolePrint("WebSocket clients at port %d\n", g_settings.wsPort);
    }
    if (g_settings.wssPort != 0) {
        ConsolePrint("WebSocket clients over TLS at port %d\n", g_settings.wssPort);
    }
    // Joined, the room takes the clients' messages and has its turns in
    // each pass before the metrics have theirs.
    std::unique_ptr<CRoom> room = JoinRoom(g_server.port, g_server.relay);
    if (room != nullptr) {
        g_server.sink = room.get();
        g_server.AddHook(room.get());
        metrics.ShowRoom(room.get());
    }
    CPassTimer timer;
    if (metrics.Serving()) {
        g_server.AddHook(&metrics);
    }
    CReloader reloader(argc, argv, tls);
    RunServerLoop(metrics.Serving() ? &timer : nullptr, g_settings.drainSeconds,
                  [&reloader] { reloader.Reload(); });
    metrics.Close();
    if (room != nullptr) {
        room->Leave(g_server.clock);
        g_server.sink = &g_server.relay;
    }
    // Here rather than at exit, so the clients' last lines are written below.
    g_server.Shutdown();
    return 0;
}
}  // namespace

int TovrelMain(int argc, char** argv) {
    // Before anything else can have OpenSSL allocate.
    CountOpenSslHeap();
    int status = Serve(argc, argv);
    ConsoleFinish(kConsoleFinishMs);
    return status;
}
