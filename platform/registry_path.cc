#include "platform/registry_path.h"


#include "platform/registry.h"

namespace platform {
namespace {

struct HiveNames {
  RegHive hive;
  const char* shortName;
  const char* longName;
};

constexpr HiveNames kHives[] = {
    {RegHive::kLocalMachine, "HKLM", "HKEY_LOCAL_MACHINE"},
    {RegHive::kUsers, "HKU", "HKEY_USERS"},
    {RegHive::kCurrentUser, "HKCU", "HKEY_CURRENT_USER"},
};

[[noreturn]] void Invalid(const std::string& what) {
  throw RegistryError(RegistryErrc::kInvalidParameter, what);
}

std::string Quote(std::string_view text) { return QuoteRegistryName(text); }

}  // namespace

RegistryPath ParseRegistryPath(std::string_view path) {
  if (path.empty()) Invalid("empty registry path");
  RegistryPath parsed;
  size_t start = 0;
  bool first = true;
  while (true) {
    size_t end = path.find('\\', start);
    std::string_view name = path.substr(start, end == std::string_view::npos ? end : end - start);
    if (name.empty()) Invalid("registry path " + Quote(path) + " has an empty key name");
    if (first) {
      std::string folded = FoldRegistryName(name);
      const HiveNames* found = nullptr;
      for (const HiveNames& hive : kHives) {
        if (folded == FoldRegistryName(hive.shortName) || folded == FoldRegistryName(hive.longName)) {
          found = &hive;
        }
      }
      if (!found) Invalid("registry path " + Quote(path) + " names no known hive");
      parsed.hive = found->hive;
      first = false;
    } else {
      if (name.size() > kMaxKeyNameLength) {
        Invalid("key name " + Quote(name) + " is longer than 255 characters");
      }
      if (name.find('\0') != std::string_view::npos) {
        Invalid("key name " + Quote(name) + " holds a NUL character");
      }
      if (parsed.components.size() == kMaxKeyDepth) {
        Invalid("registry path " + Quote(path) + " is deeper than 512 levels");
      }
      parsed.components.emplace_back(name);
    }
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return parsed;
}

const char* HiveShortName(RegHive hive) {
  for (const HiveNames& names : kHives) {
    if (names.hive == hive) return names.shortName;
  }
  return "?";
}

const char* HiveLongName(RegHive hive) {
  for (const HiveNames& names : kHives) {
    if (names.hive == hive) return names.longName;
  }
  return "?";
}

std::string FormatRegistryPath(RegHive hive, const std::vector<std::string>& components) {
  std::string path = HiveShortName(hive);
  for (const std::string& name : components) {
    path += '\\';
    path += name;
  }
  return path;
}

void ValidateValueName(std::string_view name) {
  if (name.size() > kMaxValueNameLength) {
    Invalid("value name " + Quote(name) + " is longer than 16383 characters");
  }
  if (name.find('\0') != std::string_view::npos) {
    Invalid("value name " + Quote(name) + " holds a NUL character");
  }
}

std::string FoldRegistryName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

// Names in messages are cut short: a caller's 16 KB name does not belong in a log line.
std::string QuoteRegistryName(std::string_view name) {
  constexpr size_t kShown = 80;
  std::string quoted = "'";
  quoted += name.substr(0, kShown);
  if (name.size() > kShown) quoted += "...";
  quoted += "'";
  return quoted;
}

}  // namespace platform
