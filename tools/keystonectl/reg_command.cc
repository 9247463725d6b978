// keystonectl reg: reads and writes the engine's registry store ($KEYSTONE_STATE_DIR/registry.db).
// Output formats in docs/registry.md.

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/config_keys.h"
#include "platform/registry.h"
#include "platform/registry_path.h"
#include "tools/keystonectl/command.h"
#include "tools/keystonectl/hex.h"

namespace keystonectl {
namespace {

using platform::RegistryErrc;
using platform::RegistryError;
using platform::RegType;
using platform::RegValue;
namespace access = platform::reg_access;

constexpr char kUsage[] =
    "usage: keystonectl reg query KEY [VALUE]\n"
    "       keystonectl reg set KEY VALUE TYPE [DATA...]\n"
    "       keystonectl reg delete KEY [VALUE]\n"
    "       keystonectl reg delete-tree KEY\n"
    "       keystonectl reg export [KEY]\n"
    "\n"
    "  query        a key: its values (name, type, data), then its subkeys; a value: its line\n"
    "  set          creates the key when needed and sets the value\n"
    "  delete       a key without subkeys (with its values), or one value of a key\n"
    "  delete-tree  a key and everything beneath it\n"
    "  export       the key (default: the engine's DataMirror) and everything beneath it as\n"
    "               text, in the manner of a .reg file\n"
    "\n"
    "KEY is written HKLM\\SOFTWARE\\Ostra\\... (HKU, HKCU and the HKEY_... names also work);\n"
    "quote it for the shell. VALUE \"\" is the key's default value, shown as (Default).\n"
    "TYPE is REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY or REG_NONE.\n"
    "DATA: REG_SZ and REG_EXPAND_SZ one text; REG_MULTI_SZ one argument per string (none for\n"
    "an empty list); REG_DWORD and REG_QWORD one number, decimal or 0x-hex; REG_BINARY and\n"
    "REG_NONE hex digits (spaces and ':' allowed), none for empty data.\n"
    "The store is $KEYSTONE_STATE_DIR/registry.db. Bad keys, types or data exit 1 with a\n"
    "message; a bad command line exits 2.";

constexpr const char* kDefaultValueName = "(Default)";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Text as one line: control characters become escapes, so that stored bytes cannot drive the
// terminal. quoted also escapes '"' and '\' for the export's quoted strings.
std::string Escape(std::string_view text, bool quoted) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    } else if (quoted && (c == '"' || c == '\\')) {
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  }
  return out;
}

// Whether the data has the layout its type promises; other data is shown as bytes.
bool WellFormed(const RegValue& value) {
  switch (value.type) {
    case RegType::kSz:
    case RegType::kExpandSz:
      return !value.data.empty() && value.data.back() == 0 &&
             std::find(value.data.begin(), value.data.end(), uint8_t{0}) == value.data.end() - 1;
    case RegType::kMultiSz:
      return RegValue::MultiString(value.AsMultiString()) == value;
    case RegType::kDword: return value.data.size() == 4;
    case RegType::kQword: return value.data.size() == 8;
    default: return false;
  }
}

std::string QueryData(const RegValue& value) {
  if (!WellFormed(value)) return ToHex(value.data);
  char number[24];
  switch (value.type) {
    case RegType::kSz:
    case RegType::kExpandSz: return Escape(value.AsString(), false);
    case RegType::kMultiSz: {
      std::string joined;
      for (const std::string& s : value.AsMultiString()) {
        if (!joined.empty()) joined += "\\0";
        joined += Escape(s, false);
      }
      return joined;
    }
    case RegType::kDword:
      std::snprintf(number, sizeof number, "0x%" PRIx32, value.AsDword());
      return number;
    case RegType::kQword:
      std::snprintf(number, sizeof number, "0x%" PRIx64, value.AsQword());
      return number;
    default: return ToHex(value.data);
  }
}

std::string TypeName(RegType type) {
  std::string name = platform::RegTypeName(type);
  if (name == "REG_UNKNOWN") name = "REG_TYPE_" + std::to_string(static_cast<uint32_t>(type));
  return name;
}

void PrintValueLine(const std::string& name, const RegValue& value) {
  std::printf("    %s    %s    %s\n", name.empty() ? kDefaultValueName : Escape(name, false).c_str(),
              TypeName(value.type).c_str(), QueryData(value).c_str());
}

std::string ExportData(const RegValue& value) {
  char text[32];
  if (WellFormed(value)) {
    switch (value.type) {
      case RegType::kSz: return "\"" + Escape(value.AsString(), true) + "\"";
      case RegType::kExpandSz: return "expand:\"" + Escape(value.AsString(), true) + "\"";
      case RegType::kMultiSz: {
        std::string list = "multi:";
        bool first = true;
        for (const std::string& s : value.AsMultiString()) {
          list += first ? "\"" : ",\"";
          list += Escape(s, true) + "\"";
          first = false;
        }
        return list;
      }
      case RegType::kDword:
        std::snprintf(text, sizeof text, "dword:%08" PRIx32, value.AsDword());
        return text;
      case RegType::kQword:
        std::snprintf(text, sizeof text, "qword:%016" PRIx64, value.AsQword());
        return text;
      default: break;
    }
  }
  std::string bytes;
  if (value.type == RegType::kBinary) {
    bytes = "hex:";
  } else {
    std::snprintf(text, sizeof text, "hex(%" PRIx32 "):", static_cast<uint32_t>(value.type));
    bytes = text;
  }
  for (size_t i = 0; i < value.data.size(); ++i) {
    if (i) bytes += ',';
    bytes += ToHex(&value.data[i], 1);
  }
  return bytes;
}

// The path with the long hive name, as the export writes its section headers.
std::string LongPath(const std::string& path) {
  platform::RegistryPath parsed = platform::ParseRegistryPath(path);
  std::string result = platform::HiveLongName(parsed.hive);
  for (const std::string& name : parsed.components) result += "\\" + name;
  return result;
}

void ExportKey(platform::Registry& registry, const std::string& path) {
  auto key = registry.OpenKey(path, access::kRead);
  if (!key) return;  // deleted while we were walking the tree
  std::printf("[%s]\n", Escape(LongPath(key->Path()), false).c_str());
  for (uint32_t i = 0; auto name = key->EnumValue(i); ++i) {
    std::optional<RegValue> value = key->QueryValue(*name);
    if (!value) continue;
    std::string shownName = name->empty() ? "@" : "\"" + Escape(*name, true) + "\"";
    std::printf("%s=%s\n", shownName.c_str(), ExportData(*value).c_str());
  }
  std::printf("\n");
  std::vector<std::string> subkeys;
  for (uint32_t i = 0; auto name = key->EnumKey(i); ++i) subkeys.push_back(*name);
  key.reset();
  for (const std::string& name : subkeys) ExportKey(registry, path + "\\" + name);
}

std::unique_ptr<platform::RegistryKey> OpenExisting(platform::Registry& registry,
                                                    const std::string& path, uint32_t rights) {
  auto key = registry.OpenKey(path, rights);
  if (!key) throw std::runtime_error("registry key " + platform::QuoteRegistryName(path) + " not found");
  return key;
}

template <typename T>
T ParseNumber(const std::string& text, const char* type) {
  std::string_view digits = text;
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.remove_prefix(2);
    base = 16;
  }
  T number = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number, base);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
    throw std::invalid_argument("'" + text + "' is not a " + type +
                                " (a decimal or 0x-hex number up to " +
                                std::to_string(std::numeric_limits<T>::max()) + ")");
  }
  return number;
}

RegValue ParseData(RegType type, const std::vector<std::string>& data) {
  auto requireOne = [&] {
    if (data.size() != 1) {
      throw UsageError(std::string(platform::RegTypeName(type)) + " takes exactly one DATA argument");
    }
  };
  switch (type) {
    case RegType::kSz:
    case RegType::kExpandSz:
      requireOne();
      if (data[0].find('\0') != std::string::npos) throw std::invalid_argument("text holds a NUL");
      return RegValue::String(data[0], type);
    case RegType::kMultiSz:
      for (const std::string& s : data) {
        if (s.empty()) {
          throw std::invalid_argument("REG_MULTI_SZ strings cannot be empty: an empty string ends the list");
        }
      }
      return RegValue::MultiString(data);
    case RegType::kDword: requireOne(); return RegValue::Dword(ParseNumber<uint32_t>(data[0], "REG_DWORD"));
    case RegType::kQword: requireOne(); return RegValue::Qword(ParseNumber<uint64_t>(data[0], "REG_QWORD"));
    default: {
      if (data.size() > 1) throw UsageError("binary data is one argument of hex digits");
      RegValue value{type, {}};
      if (!data.empty()) {
        try {
          value.data = ParseHex(data[0]);
        } catch (const std::invalid_argument& e) {
          throw std::invalid_argument("bad hex data: " + std::string(e.what()));
        }
      }
      return value;
    }
  }
}

int Query(const std::vector<std::string>& args) {
  if (args.size() < 2 || args.size() > 3) throw UsageError("query takes KEY [VALUE]");
  const std::unique_ptr<platform::Registry> opened = platform::OpenSystemRegistry();
  platform::Registry& registry = *opened;
  auto key = OpenExisting(registry, args[1], access::kRead);
  if (args.size() == 3) {
    std::optional<RegValue> value = key->QueryValue(args[2]);
    if (!value) {
      return Fail(kExitFailure, "value " + platform::QuoteRegistryName(args[2]) + " not found in " +
                                    platform::QuoteRegistryName(key->Path()));
    }
    // Shown with its stored name, whatever case it was asked for in.
    std::string stored = args[2];
    const std::string folded = platform::FoldRegistryName(args[2]);
    for (uint32_t i = 0; auto name = key->EnumValue(i); ++i) {
      if (platform::FoldRegistryName(*name) == folded) stored = *name;
    }
    std::printf("%s\n", Escape(key->Path(), false).c_str());
    PrintValueLine(stored, *value);
    return kExitOk;
  }
  std::printf("%s\n", Escape(key->Path(), false).c_str());
  for (uint32_t i = 0; auto name = key->EnumValue(i); ++i) {
    if (std::optional<RegValue> value = key->QueryValue(*name)) PrintValueLine(*name, *value);
  }
  bool first = true;
  for (uint32_t i = 0; auto name = key->EnumKey(i); ++i) {
    if (first) std::printf("\n");
    first = false;
    std::printf("%s\n", Escape(key->Path() + "\\" + *name, false).c_str());
  }
  return kExitOk;
}

int Set(const std::vector<std::string>& args) {
  if (args.size() < 4) throw UsageError("set takes KEY VALUE TYPE [DATA...]");
  std::optional<RegType> type = platform::ParseRegType(args[3]);
  if (!type) return Fail(kExitFailure, "unknown registry type '" + args[3] + "'");
  RegValue value = ParseData(*type, std::vector<std::string>(args.begin() + 4, args.end()));
  const std::unique_ptr<platform::Registry> registry = platform::OpenSystemRegistry();
  auto key = registry->CreateKey(args[1], access::kSetValue);
  key->SetValue(args[2], value);
  key->Flush();
  return kExitOk;
}

int Delete(const std::vector<std::string>& args) {
  if (args.size() < 2 || args.size() > 3) throw UsageError("delete takes KEY [VALUE]");
  const std::unique_ptr<platform::Registry> opened = platform::OpenSystemRegistry();
  platform::Registry& registry = *opened;
  if (args.size() == 3) {
    auto key = OpenExisting(registry, args[1], access::kSetValue);
    if (!key->DeleteValue(args[2])) {
      return Fail(kExitFailure, "value " + platform::QuoteRegistryName(args[2]) + " not found in " +
                                    platform::QuoteRegistryName(key->Path()));
    }
    key->Flush();
    return kExitOk;
  }
  try {
    registry.DeleteKey(args[1]);
  } catch (const RegistryError& e) {
    if (e.code() != RegistryErrc::kKeyHasChildren) throw;
    return Fail(kExitFailure, std::string(e.what()) + " (delete-tree removes them too)");
  }
  registry.OpenKey("HKLM", access::kRead)->Flush();
  return kExitOk;
}

int DeleteTree(const std::vector<std::string>& args) {
  if (args.size() != 2) throw UsageError("delete-tree takes KEY");
  const std::unique_ptr<platform::Registry> opened = platform::OpenSystemRegistry();
  platform::Registry& registry = *opened;
  registry.DeleteTree(args[1]);
  registry.OpenKey("HKLM", access::kRead)->Flush();
  return kExitOk;
}

int Export(const std::vector<std::string>& args) {
  if (args.size() > 2) throw UsageError("export takes KEY");
  // Without a key: the engine's registry mirror, the tree other programs read.
  const std::string key = args.size() == 2 ? args[1] : keystone::kDataMirrorKey;
  const std::unique_ptr<platform::Registry> opened = platform::OpenSystemRegistry();
  platform::Registry& registry = *opened;
  OpenExisting(registry, key, access::kRead);
  std::printf("Keystone Registry Export 1\n\n");
  ExportKey(registry, key);
  return kExitOk;
}

int Run(const std::vector<std::string>& args) {
  try {
    if (args.empty()) throw UsageError("missing subcommand");
    const std::string& sub = args[0];
    if (sub == "query") return Query(args);
    if (sub == "set") return Set(args);
    if (sub == "delete") return Delete(args);
    if (sub == "delete-tree") return DeleteTree(args);
    if (sub == "export") return Export(args);
    throw UsageError("unknown subcommand '" + sub + "'");
  } catch (const UsageError& e) {
    std::fprintf(stderr, "%s\n", kUsage);
    return Fail(kExitUsage, e.what());
  }
}

const RegisterCommand kRegister({"reg", "read and write the registry store", kUsage, Run});

}  // namespace
}  // namespace keystonectl
