// libFuzzer target over the parse of the radio's answer to Read RSSI. The first two input bytes
// are the link handle asked about; the rest is the answer. An accepted answer must be exactly the
// event a controller sends for that handle; anything else must be refused, never read past.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "bluetooth/rssi_finder.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint16_t handle = static_cast<uint16_t>(data[0] | data[1] << 8);
  // A copy of exactly the answer's size, so a read past it is caught.
  const std::vector<uint8_t> answer(data + 2, data + size);
  const auto parsed = Ostra::RssiCommunication::ParseRssiAnswer(answer, handle);
  if (parsed.defect != Ostra::RssiCommunication::AnswerDefect::kNone) {
    Check(parsed.rssi == 0);
    return 0;
  }
  std::vector<uint8_t> expected = platform::ReadRssiAnswerBytes(0, handle, parsed.rssi);
  Check(answer.size() == expected.size());
  // The command credits and the handle's flag bits are the controller's own.
  expected[2] = answer[2];
  expected[7] = static_cast<uint8_t>((expected[7] & 0x0F) | (answer[7] & 0xF0));
  Check(answer == expected);
  return 0;
}
