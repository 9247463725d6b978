#pragma once

#include <string>

namespace platform {

// The engine's state directory: $KEYSTONE_STATE_DIR; otherwise /var/lib/ostra-keystone for
// root and $XDG_STATE_HOME/ostra-keystone (or ~/.local/state/ostra-keystone) for others.
// The directory is not created here.
std::string StateDirectory();

// The mode the state directory is created with: 0755 for root, whose registry store other
// programs read (everything private inside it is kept in directories of mode 0700), and 0700 for
// any other user.
unsigned StateDirectoryMode();

// The directory of the engine's sockets: $KEYSTONE_RUNTIME_DIR; otherwise /run/ostra-keystone
// for root, $XDG_RUNTIME_DIR/ostra-keystone, or /tmp/ostra-keystone-$UID.
std::string RuntimeDirectory();

// Where clients find the system engine's sockets, whatever user they run as:
// $KEYSTONE_RUNTIME_DIR, otherwise /run/ostra-keystone.
std::string ClientRuntimeDirectory();

// Creates the directory and its missing parents with exactly the given mode (whatever the umask);
// directories that exist keep theirs. Throws std::system_error.
void CreateDirectories(const std::string& path, unsigned mode = 0700);

}  // namespace platform
