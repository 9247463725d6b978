#include "sim/applet/piggy_back.h"

#include "sim/applet/field_reader.h"
#include "sim/applet/protocol.h"
#include "tlv/piggyback_block.h"

namespace kilnsim {
namespace {

namespace pt = mfab::piggyback_tag;

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
  FieldReader body(value, "stored-data block", kMalformed,
                   {pt::kCategoryList, pt::kFileList, pt::kUserSection});
  PiggyBackBlock block;
  for (std::span<const uint8_t> code : ListElements(body.Bytes(pt::kCategoryList), pt::kCategory,
                                                    16, kMalformed, "stored-data categories")) {
    if (code.size() != 4)
      throw AppletError(kMalformed, "stored-data categories: a code is not 4 bytes");
    block.categories.push_back(GetBe32(code.data()));
  }
  for (std::span<const uint8_t> file :
       ListElements(body.Bytes(pt::kFileList), pt::kFile, kMaxDeliveredFiles, kMalformed,
                    "stored-data files")) {
    FieldReader fields(file, "stored file", kMalformed, {pt::kFileName, pt::kFileContent});
    const std::span<const uint8_t> content = fields.Bytes(pt::kFileContent);
    block.files.push_back(
        {fields.Text(pt::kFileName, 255), std::vector<uint8_t>(content.begin(), content.end())});
  }
  FieldReader user(body.Bytes(pt::kUserSection), "stored-data user section", kMalformed,
                   {pt::kUser, pt::kFactorIdList, pt::kActionIdList});
  if (user.Has(pt::kUser)) block.user = user.Text(pt::kUser, 184, true);
  if (user.Has(pt::kFactorIdList))
    block.factorIds =
        Strings(user.Bytes(pt::kFactorIdList), pt::kFactorId, "stored-data factor ids");
  if (user.Has(pt::kActionIdList))
    block.actionIds =
        Strings(user.Bytes(pt::kActionIdList), pt::kActionId, "stored-data action ids");
  return block;
}

std::optional<std::span<const uint8_t>> FindPiggyBack(std::span<const uint8_t> buffer) {
  for (const TlvItem& item : SplitTlv(buffer, 64, kMalformed, "request")) {
    if (item.tag == kPiggyBackTag) return item.value;
  }
  return std::nullopt;
}

}  // namespace kilnsim
