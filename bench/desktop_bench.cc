// What a desktop authentication costs the engine before the person at the screen answers:
// - verifying a signed program (read once into a sealed copy, CMS signature, thumbprint) for the
//   build's 136 KiB test program and the ~0.5 MiB GTK program, against SHA-256 of the same bytes;
// - starting the verified test program ("exit:0") as this user in a group of its own and waiting
//   for it, against posix_spawn of the same file by path and waitpid.

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "platform/signed_file_verifier.h"
#include "platform/user_process.h"

namespace {

std::vector<std::string> Trusted() {
  std::ifstream in(KEYSTONE_TEST_SIGNER_CERT, std::ios::binary);
  const std::vector<uint8_t> pem((std::istreambuf_iterator<char>(in)), {});
  return {platform::CertificateThumbprint(pem)};
}

const char* Program(int which) {
  return which == 0 ? KEYSTONE_TEST_DESKTOP_PROGRAM : KEYSTONE_DESKTOP_AUTH_BINARY;
}

void BM_VerifySignedProgram(benchmark::State& state) {
  const auto verifier = platform::CreateSignedFileVerifier();
  const std::vector<std::string> trusted = Trusted();
  size_t bytes = 0;
  for (auto _ : state) {
    const platform::VerifiedFile file = verifier->Verify(Program(static_cast<int>(state.range(0))), trusted);
    bytes = file.Bytes().size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["file_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_VerifySignedProgram)->Arg(0)->Arg(1);

void BM_Sha256OfTheFile(benchmark::State& state) {
  std::ifstream in(Program(static_cast<int>(state.range(0))), std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  for (auto _ : state) {
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_Sha256OfTheFile)->Arg(0)->Arg(1);

void BM_StartVerifiedProgramAndWait(benchmark::State& state) {
  const platform::VerifiedFile file =
      platform::CreateSignedFileVerifier()->Verify(Program(0), Trusted());
  const auto launcher = platform::CreateUserProcessLauncher();
  for (auto _ : state) {
    auto process = launcher->Start(file, {static_cast<uint32_t>(::geteuid()), {"S-1-5-18", "exit:0"}, {}});
    if (!process->Wait(std::chrono::seconds(10))) state.SkipWithError("the program hung");
  }
}
BENCHMARK(BM_StartVerifiedProgramAndWait)->UseRealTime();

void BM_PosixSpawnByPathAndWait(benchmark::State& state) {
  char* argv[] = {const_cast<char*>(Program(0)), const_cast<char*>("S-1-5-18"),
                  const_cast<char*>("exit:0"), nullptr};
  char* envp[] = {nullptr};
  for (auto _ : state) {
    pid_t pid = 0;
    if (::posix_spawn(&pid, Program(0), nullptr, nullptr, argv, envp) != 0) {
      state.SkipWithError("posix_spawn failed");
      break;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
  }
}
BENCHMARK(BM_PosixSpawnByPathAndWait)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
