// keystonectl tlv: dumps TLV buffers, decodes Message envelopes and builds them. Output format in
// docs/tlv.md.

#include <cinttypes>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "tlv/catalogue.h"
#include "tlv/message.h"
#include "tlv/metadata.h"
#include "tlv/tlv.h"
#include "tools/keystonectl/command.h"
#include "tools/keystonectl/hex.h"

namespace keystonectl {
namespace {

using mfab::Bytes;

// Deep enough for any real message (envelope, payload, a list, its elements); bounds recursion on
// hostile input.
constexpr int kMaxDumpDepth = 16;

constexpr char kUsage[] =
    "usage: keystonectl tlv dump HEX\n"
    "       keystonectl tlv message [--as CLASS] HEX\n"
    "       keystonectl tlv build --module N --type N --category N [--payload HEX]\n"
    "                             [--metadata HEX] [--response] [--session N]\n"
    "       keystonectl tlv classes\n"
    "\n"
    "  dump     prints the item tree: offset, tag, length and value in hex; a value longer than\n"
    "           4 bytes whose items tile it exactly is also shown as a nested sequence\n"
    "  message  decodes a Message envelope: its fields, the metadata log entries, a trailing\n"
    "           0x0006 stored-data block and the payload's fields when its class is known\n"
    "           (--as names the payload class for other message types)\n"
    "  build    prints a serialized Message envelope in hex; numbers are decimal or 0x-hex;\n"
    "           --session defaults to 0xffffffff\n"
    "  classes  lists the message classes and the message types they are the payload of\n"
    "\n"
    "HEX may be '-' to read the hex digits from standard input. Bad input exits 1 with the\n"
    "decoder's text on standard error; a bad command line exits 2.";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

bool IsPrintable(std::span<const uint8_t> value) {
  for (const uint8_t byte : value) {
    if (byte < 0x20 || byte >= 0x7F) return false;
  }
  return !value.empty();
}

// A value shown as a nested sequence: longer than an integer and tiled exactly by whole items.
bool IsNestedSequence(std::span<const uint8_t> value) {
  if (value.size() <= 4) return false;
  try {
    mfab::ParseTlv(value);
    return true;
  } catch (const mfab::TlvException&) {
    return false;
  }
}

void DumpSequence(const uint8_t* base, std::span<const uint8_t> bytes, int depth) {
  mfab::ParseTlv(bytes);  // validates the whole range first: throws the codec's text
  const uint8_t* end = bytes.data() + bytes.size();
  const std::string indent(static_cast<size_t>(depth) * 2, ' ');
  for (const uint8_t* item = bytes.data(); item != end; item = mfab::TlvNext(item)) {
    const std::span<const uint8_t> value = mfab::TlvValue(item);
    std::printf("%s%04zx: tag 0x%04x len %u", indent.c_str(), static_cast<size_t>(item - base),
                mfab::TlvTag(item), mfab::TlvLength(item));
    if (!value.empty()) std::printf("  %s", ToHex(value.data(), value.size()).c_str());
    const bool nested = depth + 1 < kMaxDumpDepth && IsNestedSequence(value);
    if (!value.empty() && value.size() <= 4) {
      std::printf("  = %" PRIu32, static_cast<uint32_t>(mfab::TlvToInt(item)));
    }
    if (!nested && IsPrintable(value)) {
      std::printf("  %s", mfab::record::StringText(mfab::TlvToString(item)).c_str());
    }
    std::printf("\n");
    if (nested) DumpSequence(base, value, depth + 1);
  }
}

void PrintFields(const std::vector<mfab::record::FieldValue>& fields, int depth) {
  const std::string indent(static_cast<size_t>(depth) * 2, ' ');
  for (const mfab::record::FieldValue& field : fields) {
    std::printf(
        "%s%s (0x%04x) = %s%s\n", indent.c_str(), field.name.c_str(), field.tag,
        field.kind == mfab::record::Kind::kNested ? "" : field.text.c_str(),
        field.access == mfab::record::Access::kWriteOnly ? "  (written only, not read)" : "");
    for (size_t i = 0; i < field.elements.size(); ++i) {
      if (field.kind != mfab::record::Kind::kNested) std::printf("%s  [%zu]\n", indent.c_str(), i);
      PrintFields(field.elements[i], depth + (field.kind == mfab::record::Kind::kNested ? 1 : 2));
    }
  }
}

std::string TypeName(uint32_t messageType) {
  const mfab::CatalogueEntry* entry = mfab::PayloadClassOf(messageType);
  char text[96];
  std::snprintf(text, sizeof(text), "0x%08" PRIx32 "%s%s%s", messageType, entry ? " (" : "",
                entry ? entry->name : "", entry ? ")" : "");
  return text;
}

// Lists the string values of every item with this tag inside the container item.
std::string JoinStrings(const uint8_t* container, uint16_t elementTag) {
  std::string text;
  const uint8_t* end = mfab::TlvValueEnd(container);
  mfab::ParseTlv(mfab::TlvValueBegin(container), end);
  for (const uint8_t* item = mfab::TlvValueBegin(container); item != end;
       item = mfab::TlvNext(item)) {
    if (mfab::TlvTag(item) != elementTag) continue;
    if (!text.empty()) text += ", ";
    text += mfab::record::StringText(mfab::TlvToString(item));
  }
  return text;
}

// The stored-data block that follows a request to the applet: categories, files, user section.
void PrintStoredDataBlock(const uint8_t* block) {
  std::printf("stored data (0x0006): %u bytes\n", mfab::TlvLength(block));
  const mfab::TlvIndex body = mfab::ParseTlv(mfab::TlvValueBegin(block), mfab::TlvValueEnd(block));
  if (mfab::HasTlv(body, 0x7BAC)) {
    const uint8_t* list = mfab::GetTlv(body, 0x7BAC);
    mfab::ParseTlv(mfab::TlvValueBegin(list), mfab::TlvValueEnd(list));
    std::printf("  categories:");
    for (const uint8_t* item = mfab::TlvValueBegin(list); item != mfab::TlvValueEnd(list);
         item = mfab::TlvNext(item)) {
      std::printf(" 0x%04" PRIx32, static_cast<uint32_t>(mfab::TlvToInt(item)));
    }
    std::printf("\n");
  }
  if (mfab::HasTlv(body, 0x7BAE)) {
    const uint8_t* list = mfab::GetTlv(body, 0x7BAE);
    mfab::ParseTlv(mfab::TlvValueBegin(list), mfab::TlvValueEnd(list));
    for (const uint8_t* item = mfab::TlvValueBegin(list); item != mfab::TlvValueEnd(list);
         item = mfab::TlvNext(item)) {
      const mfab::TlvIndex file =
          mfab::ParseTlv(mfab::TlvValueBegin(item), mfab::TlvValueEnd(item));
      const uint8_t* content = mfab::GetTlv(file, 0x7BB1);
      std::printf("  file %s: %u bytes\n",
                  mfab::record::StringText(mfab::TlvToString(mfab::GetTlv(file, 0x7BB0))).c_str(),
                  mfab::TlvLength(content));
    }
  }
  if (mfab::HasTlv(body, 0x7BB2)) {
    const uint8_t* user = mfab::GetTlv(body, 0x7BB2);
    const mfab::TlvIndex section =
        mfab::ParseTlv(mfab::TlvValueBegin(user), mfab::TlvValueEnd(user));
    if (mfab::HasTlv(section, 0x7BB3)) {
      std::printf(
          "  user: %s\n",
          mfab::record::StringText(mfab::TlvToString(mfab::GetTlv(section, 0x7BB3))).c_str());
    }
    if (mfab::HasTlv(section, 0x7BBA)) {
      std::printf("  factor ids: %s\n", JoinStrings(mfab::GetTlv(section, 0x7BBA), 0x7BBB).c_str());
    }
    if (mfab::HasTlv(section, 0x7BBC)) {
      std::printf("  action ids: %s\n", JoinStrings(mfab::GetTlv(section, 0x7BBC), 0x7BBD).c_str());
    }
  }
}

int RunDump(const std::vector<std::string>& args) {
  if (args.size() != 2) throw UsageError("tlv dump takes one HEX argument");
  const Bytes bytes = HexArgument(args[1]);
  DumpSequence(bytes.data(), bytes, 0);
  return kExitOk;
}

int RunMessage(const std::vector<std::string>& args) {
  const mfab::CatalogueEntry* forced = nullptr;
  std::optional<std::string> hex;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--as") {
      if (++i == args.size()) throw UsageError("--as needs a class name");
      forced = mfab::FindMessageClass(args[i]);
      if (!forced) throw UsageError("unknown message class '" + args[i] + "'");
    } else if (!hex) {
      hex = args[i];
    } else {
      throw UsageError("tlv message takes one HEX argument");
    }
  }
  if (!hex) throw UsageError("tlv message takes one HEX argument");
  const Bytes bytes = HexArgument(*hex);
  const mfab::Message message = mfab::Message::Parse(bytes);

  std::printf("moduleId    = %s\n", mfab::record::IntText(message.moduleId, 8).c_str());
  std::printf("messageType = %s\n", TypeName(message.messageType).c_str());
  std::printf("category    = %s\n", mfab::record::IntText(message.category, 8).c_str());
  std::printf("payload     = %s\n", mfab::record::BytesText(message.payload).c_str());
  std::printf("metadata    = %s\n",
              message.metadata ? mfab::record::BytesText(*message.metadata).c_str() : "absent");
  std::printf("isResponse  = %s\n", message.isResponse ? "true" : "false");
  std::printf("sessionId   = %s\n", mfab::record::IntText(message.sessionId, 8).c_str());

  if (message.metadata) {
    mfab::MessageMetadata metadata;
    metadata.Deserialize(*message.metadata);
    std::printf("metadata entries: %zu\n", metadata.entries.size());
    for (size_t i = 0; i < metadata.entries.size(); ++i) {
      std::printf("  [%zu]\n", i);
      PrintFields(mfab::record::Describe(metadata.entries[i], mfab::LoggingEntry::Fields()), 2);
    }
  }
  const mfab::TlvIndex index = mfab::ParseTlv(bytes);
  if (mfab::HasTlv(index, mfab::Message::kTagPiggyBack)) {
    PrintStoredDataBlock(mfab::GetTlv(index, mfab::Message::kTagPiggyBack));
  }
  const mfab::CatalogueEntry* payloadClass =
      forced ? forced : mfab::PayloadClassOf(message.messageType);
  if (payloadClass) {
    std::unique_ptr<mfab::Serializable> payload = payloadClass->create();
    payload->Deserialize(message.payload);
    std::printf("payload %s:\n", payloadClass->name);
    PrintFields(payloadClass->describe(*payload), 1);
  }
  return kExitOk;
}

uint32_t ParseNumber(const std::string& option, const std::string& text) {
  try {
    size_t used = 0;
    const unsigned long long value = std::stoull(text, &used, 0);
    if (used == text.size() && value <= 0xFFFFFFFFull && text[0] != '-') {
      return static_cast<uint32_t>(value);
    }
  } catch (const std::exception&) {
  }
  throw UsageError(option + " needs a 32-bit number, decimal or 0x-hex, not '" + text + "'");
}

int RunBuild(const std::vector<std::string>& args) {
  mfab::Message message;
  bool haveModule = false, haveType = false, haveCategory = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--response") {
      message.isResponse = true;
      continue;
    }
    if (i + 1 == args.size()) throw UsageError("unknown option or missing value: " + option);
    const std::string& value = args[++i];
    if (option == "--module") {
      message.moduleId = ParseNumber(option, value);
      haveModule = true;
    } else if (option == "--type") {
      message.messageType = ParseNumber(option, value);
      haveType = true;
    } else if (option == "--category") {
      message.category = ParseNumber(option, value);
      haveCategory = true;
    } else if (option == "--session") {
      message.sessionId = ParseNumber(option, value);
    } else if (option == "--payload") {
      message.payload = HexArgument(value);
    } else if (option == "--metadata") {
      message.metadata = std::make_shared<Bytes>(HexArgument(value));
    } else {
      throw UsageError("unknown option " + option);
    }
  }
  if (!haveModule || !haveType || !haveCategory) {
    throw UsageError("tlv build needs --module, --type and --category");
  }
  const Bytes bytes = message.Serialize();
  std::printf("%s\n", ToHex(bytes).c_str());
  return kExitOk;
}

int RunClasses() {
  for (const mfab::CatalogueEntry& entry : mfab::MessageCatalogue()) {
    std::printf("%s", entry.name);
    for (const uint32_t type : mfab::MessageTypesOf(entry)) std::printf(" 0x%08" PRIx32, type);
    std::printf("\n");
  }
  return kExitOk;
}

int Run(const std::vector<std::string>& args) {
  try {
    if (args.empty()) throw UsageError("tlv needs a subcommand: dump, message, build or classes");
    if (args[0] == "dump") return RunDump(args);
    if (args[0] == "message") return RunMessage(args);
    if (args[0] == "build") return RunBuild(args);
    if (args[0] == "classes" && args.size() == 1) return RunClasses();
    throw UsageError("unknown tlv subcommand '" + args[0] + "'");
  } catch (const UsageError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", kUsage);
    return Fail(kExitUsage, e.what());
  } catch (const std::exception& e) {
    // Codec texts (TlvException, overflow_error) and bad hex: the input was bad.
    std::fflush(stdout);
    return Fail(kExitFailure, e.what());
  }
}

const RegisterCommand kRegister({"tlv", "dump, decode and build TLV buffers and Message envelopes",
                                 kUsage, &Run});

}  // namespace
}  // namespace keystonectl
