// An attestation client for tests, signed by the build: its start answers 42, so a test can tell
// "loaded and called" from "refused before loading".

#include <cstdint>

extern "C" __attribute__((visibility("default"))) int32_t KeystoneAttestationInitialize(void) {
  return 42;
}
