#pragma once

// Identifiers of the two applets the engine installs in the trusted execution environment.
// The simulated applet includes this header so that both sides agree on them.

namespace keystone {

// The authentication applet: every session and every exchange goes to it.
inline constexpr char kAuthenticationAppletId[] = "5B3E7C1A9D4F40E2A86C2D17F09B34E5";

// The secure-display (PANEL) applet: only uninstalled and reinstalled after a firmware change.
inline constexpr char kPanelAppletId[] = "C4A17E92B05D4B3F9E6820D1A3F7C58B";

}  // namespace keystone
