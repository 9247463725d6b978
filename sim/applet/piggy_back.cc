#include "sim/applet/piggy_back.h"

#include "sim/applet/field_reader.h"
#include "sim/applet/protocol.h"

namespace kilnsim {
namespace {

constexpr uint16_t kMalformed = sim_error::kMalformedRequest;

std::vector<std::string> Strings(std::span<const uint8_t> container, uint16_t elementTag,
                                 const char* what) {
  std::vector<std::string> strings;
  for (std::span<const uint8_t> value :
       ListElements(container, elementTag, 256, kMalformed, what)) {
    std::string text(value.begin(), value.end());
    if (text.size() > 255 || !IsPrintable(text)) {
      throw AppletError(kMalformed, std::string(what) + ": unprintable or overlong entry");
    }
    strings.push_back(std::move(text));
  }
  return strings;
}

}  // namespace

PiggyBackBlock ParsePiggyBack(std::span<const uint8_t> value) {
  FieldReader body(value, "stored-data block", kMalformed, {0x7BAC, 0x7BAE, 0x7BB2});
  PiggyBackBlock block;
  for (std::span<const uint8_t> code :
       ListElements(body.Bytes(0x7BAC), 0x7BAD, 16, kMalformed, "stored-data categories")) {
    if (code.size() != 4)
      throw AppletError(kMalformed, "stored-data categories: a code is not 4 bytes");
    block.categories.push_back(GetBe32(code.data()));
  }
  for (std::span<const uint8_t> file : ListElements(body.Bytes(0x7BAE), 0x7BAF, kMaxDeliveredFiles,
                                                    kMalformed, "stored-data files")) {
    FieldReader fields(file, "stored file", kMalformed, {0x7BB0, 0x7BB1});
    const std::span<const uint8_t> content = fields.Bytes(0x7BB1);
    block.files.push_back(
        {fields.Text(0x7BB0, 255), std::vector<uint8_t>(content.begin(), content.end())});
  }
  FieldReader user(body.Bytes(0x7BB2), "stored-data user section", kMalformed,
                   {0x7BB3, 0x7BBA, 0x7BBC});
  if (user.Has(0x7BB3)) block.user = user.Text(0x7BB3, 184, true);
  if (user.Has(0x7BBA))
    block.factorIds = Strings(user.Bytes(0x7BBA), 0x7BBB, "stored-data factor ids");
  if (user.Has(0x7BBC))
    block.actionIds = Strings(user.Bytes(0x7BBC), 0x7BBD, "stored-data action ids");
  return block;
}

std::optional<std::span<const uint8_t>> FindPiggyBack(std::span<const uint8_t> buffer) {
  for (const TlvItem& item : SplitTlv(buffer, 64, kMalformed, "request")) {
    if (item.tag == kPiggyBackTag) return item.value;
  }
  return std::nullopt;
}

}  // namespace kilnsim
