#pragma once

#include <memory>
#include <utility>

class CTlsCredentials;

// The reload a hang-up asks for while a configuration file is named: the
// command line the server started with and the configuration file are read
// again, and what can change while serving is put in force, all of it or,
// when anything is wrong, none of it. The ports, the addresses, the room
// and what a restart alone sets up keep their values; each one that
// differs is said on the console. Runs between passes.
class CReloader {
  public:
    // `argv` outlives the reloader; `tls` (null: no TLS listener) is the
    // set the TLS listeners share.
    CReloader(int argc, char** argv, std::shared_ptr<CTlsCredentials> tls)
        : argc_(argc), argv_(argv), tls_(std::move(tls)) {}
    // Prints "Configuration reloaded", or why not; true when it took the
    // new configuration.
    bool Reload();

  private:
    int argc_;
    char** argv_;
    std::shared_ptr<CTlsCredentials> tls_;
};
