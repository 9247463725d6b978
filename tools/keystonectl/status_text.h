#pragma once

#include <cstdint>

namespace keystonectl {

// What a status code of the engine's client operations and flows means, for people.
const char* StatusName(uint32_t status);

}  // namespace keystonectl
