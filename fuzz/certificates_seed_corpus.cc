// Writes the seed corpus of the certificates fuzz target into the directory named by argv[1]:
// chain bundles (good, revoked, elliptic-curve, without root), the PKI's revocation lists and
// its certificates, each behind the byte that selects its kind.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/fakes/test_pki.h"

namespace {

void Write(const std::filesystem::path& dir, const std::string& name, uint8_t kind,
           const std::vector<uint8_t>& body) {
  std::ofstream out(dir / name, std::ios::binary);
  out.put(static_cast<char>(kind));
  out.write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(body.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::filesystem::create_directories(dir);
  using keystone::testing::TestPki;
  const TestPki pki({.rsaBits = 1024});
  Write(dir, "bundle-leaf", 0, pki.ChainBundle(pki.leaf()));
  Write(dir, "bundle-revoked", 0, pki.ChainBundle(pki.revokedLeaf()));
  Write(dir, "bundle-ec", 0, pki.ChainBundle(pki.ecLeaf()));
  Write(dir, "bundle-no-root", 0, TestPki::Bundle({&pki.leaf(), &pki.intermediate()}));
  Write(dir, "crl-intermediate", 1, pki.IntermediateCrl());
  Write(dir, "crl-root", 1, pki.RootCrl());
  Write(dir, "cert-leaf", 2, pki.leaf().der);
  Write(dir, "cert-intermediate", 2, pki.intermediate().der);
  Write(dir, "cert-ec", 2, pki.ecLeaf().der);
  return 0;
}
