// libFuzzer target over the simulated applet's request handling. An input is a conversation of
// frames, each one byte of kind, two bytes of length (big-endian) and that many bytes:
//   kind % 5 == 0, 1, 2  an exchange with that command identifier
//   kind % 5 == 3        the session is opened again with the bytes as init data
//   kind % 5 == 4        the firmware's security version is raised to 2
// The device key is fixed, so that seeds can carry blobs that unseal. Every reply must parse as a
// Message of at most 32768 bytes that echoes the request's session id.

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "sim/applet/applet.h"
#include "sim/applet/firmware.h"
#include "sim/applet/protocol.h"
#include "sim/applet/state_files.h"
#include "tlv/message.h"

namespace {

constexpr size_t kMaxFrames = 12;
std::string stateDir;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "sim applet fuzz: %s\n", what);
  std::abort();
}

kilnsim::Firmware& SharedFirmware() {
  static kilnsim::Firmware firmware(
      stateDir, kilnsim::FirmwareOptions{std::chrono::milliseconds(5'000), false});
  return firmware;
}

std::shared_ptr<kilnsim::Firmware> FirmwarePointer() {
  static std::shared_ptr<kilnsim::Firmware> pointer(&SharedFirmware(), [](kilnsim::Firmware*) {});
  return pointer;
}

void CheckReply(const std::vector<uint8_t>& reply, const uint8_t* request, size_t size,
                uint32_t command) {
  if (reply.size() > kilnsim::kMaxReplySize) Fail("reply larger than 32768 bytes");
  mfab::Message parsed;
  try {
    parsed = mfab::Message::Parse(reply);
  } catch (const std::exception&) {
    Fail("reply does not parse");
  }
  if (command == kilnsim::command::kIdleClear) return;
  try {
    const mfab::Message sent = mfab::Message::Parse(std::span<const uint8_t>(request, size));
    if (sent.sessionId != parsed.sessionId) Fail("reply does not echo the session id");
  } catch (const mfab::TlvException&) {
    // The request itself did not parse (a stored-data block may also have made it fail).
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/kiln-sim-fuzz-XXXXXX";
  if (!::mkdtemp(pattern)) Fail("mkdtemp");
  stateDir = pattern;
  kilnsim::ReplaceFile(stateDir + "/device.key", std::string(32, '\x5A'), 0600, false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Each input starts from an empty version table, SVN 1 and no faults.
  ::unlink((stateDir + "/versions").c_str());
  ::unlink((stateDir + "/faults").c_str());
  auto applet = std::make_unique<kilnsim::Applet>(FirmwarePointer());
  std::string problem;
  const std::vector<uint8_t> init{0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x03};
  if (!applet->Open(init, problem)) Fail("plain init data refused");
  size_t offset = 0;
  for (size_t frame = 0; frame < kMaxFrames && size - offset >= 3; ++frame) {
    const uint8_t kind = data[offset] % 5;
    const size_t length =
        std::min<size_t>((size_t{data[offset + 1]} << 8) | data[offset + 2], size - offset - 3);
    const uint8_t* body = data + offset + 3;
    offset += 3 + length;
    if (kind == 3) {
      applet = std::make_unique<kilnsim::Applet>(FirmwarePointer());
      if (!applet->Open(std::span<const uint8_t>(body, length), problem)) {
        applet = std::make_unique<kilnsim::Applet>(FirmwarePointer());
        applet->Open(init, problem);
      }
    } else if (kind == 4) {
      kilnsim::ReplaceFile(stateDir + "/faults", "svn 2\n", 0600, false);
    } else {
      CheckReply(applet->Exchange(kind, std::span<const uint8_t>(body, length)), body, length,
                 kind);
    }
  }
  return 0;
}
