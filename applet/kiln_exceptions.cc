#include "applet/kiln_exceptions.h"

#include <cstdio>

namespace mfab {
namespace {

std::string GeneralText(uint32_t libraryStatus) {
  char text[64];
  std::snprintf(text, sizeof(text), "KILN call failed (%#X)", libraryStatus);
  return text;
}

}  // namespace

KilnGeneralException::KilnGeneralException(uint32_t libraryStatus)
    : MfaException(GeneralText(libraryStatus)), status(libraryStatus) {}

}  // namespace mfab
