#pragma once

#include <string>

namespace platform {

// The engine's state directory: $KEYSTONE_STATE_DIR; otherwise /var/lib/ostra-keystone for
// root and $XDG_STATE_HOME/ostra-keystone (or ~/.local/state/ostra-keystone) for others.
// The directory is not created here.
std::string StateDirectory();

// The directory of the engine's sockets: $KEYSTONE_RUNTIME_DIR; otherwise /run/ostra-keystone
// for root, $XDG_RUNTIME_DIR/ostra-keystone, or /tmp/ostra-keystone-$UID.
std::string RuntimeDirectory();

// Where clients find the system engine's sockets, whatever user they run as:
// $KEYSTONE_RUNTIME_DIR, otherwise /run/ostra-keystone.
std::string ClientRuntimeDirectory();

// Creates the directory and its missing parents with the given mode; throws std::system_error.
void CreateDirectories(const std::string& path, unsigned mode = 0700);

}  // namespace platform
