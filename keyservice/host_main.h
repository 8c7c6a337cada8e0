#pragma once
// The two hosts of the key work: vorkeyd (the service build: driver path, uinput, registration
// switches, systemd) and vorkey95 (the direct-path build: a windowless per-user program injecting
// through XTest into the user's X session). Both run until SIGTERM or SIGINT and release every
// held key on the way out.
namespace vorkey {

enum class HostKind { kService, kDirect };

int host_main(HostKind kind, int argc, char** argv);

}  // namespace vorkey
