#pragma once

#include <string>

#include "storage/data_loader.h"

namespace mfab {

// What one request to the applet concerns: on whose behalf it runs and which stored data it
// needs. The applet manager derives it from each request's message type; requests the engine
// makes on its own behalf pass an empty one.
struct RequestContext {
  // The user's identity (SID text); empty when the request concerns no user.
  std::string user;
  // Data categories the request needs; group codes (0x0000, 0x0100, 0x0200) allowed.
  DataCategories categories;
  // Set for requests that must carry no stored data at all.
  bool noPiggyBack = false;
};

}  // namespace mfab
