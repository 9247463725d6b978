// keystonectl sim: shows the simulated applet's firmware state and edits its firmware file and
// fault plan, for demonstrations and recovery drills. File layouts in docs/applet-protocol.md.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/paths.h"
#include "tools/keystonectl/command.h"

namespace keystonectl {
namespace {

constexpr char kUsage[] =
    "usage: keystonectl sim status\n"
    "       keystonectl sim fault show | clear | DIRECTIVE...\n"
    "       keystonectl sim version TEXT\n"
    "       keystonectl sim svn N\n"
    "\n"
    "  status    the simulated firmware: version, security version (SVN), the stored data's SVN\n"
    "            and version table, installed applets, the fault plan\n"
    "  fault     shows or removes the fault plan, or appends one directive to it, e.g.\n"
    "              keystonectl sim fault status CreateSession '0x1004*3' 0\n"
    "              keystonectl sim fault status Initialize '0x1004*2s'\n"
    "              keystonectl sim fault hang SendAndRecv2 2s\n"
    "              keystonectl sim fault reply drop-tag:0x0008\n"
    "              keystonectl sim fault svn 2\n"
    "  version   sets the firmware version the library reports (the engine reinstalls the\n"
    "            applets when it sees a new one)\n"
    "  svn       sets the firmware's security version; the applet then demands an upgrade\n"
    "\n"
    "The state directory is $KILN_SIM_STATE_DIR, or $KEYSTONE_STATE_DIR/kiln-sim.";

constexpr size_t kMaxStateFile = 256 * 1024;

std::string StateDir() {
  if (const char* dir = std::getenv("KILN_SIM_STATE_DIR"); dir && *dir) return dir;
  return platform::StateDirectory() + "/kiln-sim";
}

std::optional<std::string> ReadText(const std::string& path) {
  platform::FileSystem& files = platform::SystemFileSystem();
  if (!files.Exists(path)) return std::nullopt;
  const std::vector<uint8_t> bytes = files.ReadFile(path, kMaxStateFile);
  return std::string(bytes.begin(), bytes.end());
}

// Replaces the file whole (the write goes through a temporary), as the firmware itself does.
void WriteText(const std::string& path, const std::string& text) {
  platform::FileSystem& files = platform::SystemFileSystem();
  files.CreateDirectories(std::filesystem::path(path).parent_path().string());
  files.WriteFile(path, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()),
                                                 text.size()));
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Printable on one line: control characters become '?'.
std::string Clean(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return text;
}

std::map<std::string, std::string> KeyValues(const std::string& text) {
  std::map<std::string, std::string> values;
  for (const std::string& line : Lines(text)) {
    const auto equals = line.find('=');
    if (line.empty() || line[0] == '#' || equals == std::string::npos) continue;
    values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return values;
}

// Sets key=value in the firmware file, keeping its other lines.
void SetFirmwareValue(const std::string& key, const std::string& value) {
  const std::string path = StateDir() + "/firmware";
  std::string text;
  bool replaced = false;
  for (const std::string& line : Lines(ReadText(path).value_or(""))) {
    if (line.rfind(key + "=", 0) == 0) {
      text += key + "=" + value + "\n";
      replaced = true;
    } else {
      text += line + "\n";
    }
  }
  if (!replaced) text += key + "=" + value + "\n";
  WriteText(path, text);
}

int Status() {
  const std::string dir = StateDir();
  std::printf("state directory  %s\n", Clean(dir).c_str());
  if (!platform::SystemFileSystem().Exists(dir)) {
    std::printf("(not created yet: the library makes it at its first KILN_Initialize)\n");
    return kExitOk;
  }
  std::map<std::string, std::string> firmware = KeyValues(ReadText(dir + "/firmware").value_or(""));
  std::printf("firmware         version %s, platform \"%s\", SVN %s\n",
              Clean(firmware.count("version") ? firmware["version"] : "1.0.0.1").c_str(),
              Clean(firmware.count("platform") ? firmware["platform"] : "kiln-sim 1.0").c_str(),
              Clean(firmware.count("svn") ? firmware["svn"] : "1").c_str());
  std::printf("device key       %s\n",
              platform::SystemFileSystem().Exists(dir + "/device.key") ? "present" : "missing");
  std::printf("stored data\n");
  const std::optional<std::string> versions = ReadText(dir + "/versions");
  if (!versions) std::printf("  (nothing stored yet)\n");
  for (const std::string& line : Lines(versions.value_or("")))
    std::printf("  %s\n", Clean(line).c_str());
  std::printf("applets\n");
  const std::optional<std::string> applets = ReadText(dir + "/applets");
  if (!applets || applets->empty()) std::printf("  (none installed)\n");
  for (const std::string& line : Lines(applets.value_or("")))
    std::printf("  %s\n", Clean(line).c_str());
  std::printf("faults\n");
  const std::optional<std::string> faults = ReadText(dir + "/faults");
  if (!faults || faults->empty()) std::printf("  (none)\n");
  for (const std::string& line : Lines(faults.value_or("")))
    std::printf("  %s\n", Clean(line).c_str());
  return kExitOk;
}

int Fault(const std::vector<std::string>& args) {
  const std::string path = StateDir() + "/faults";
  if (args.size() == 2 && args[1] == "show") {
    std::fputs(ReadText(path).value_or("").c_str(), stdout);
    return kExitOk;
  }
  if (args.size() == 2 && args[1] == "clear") {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    return kExitOk;
  }
  static const char* const kDirectives[] = {"status", "hang", "reply", "svn"};
  bool known = false;
  for (const char* directive : kDirectives)
    known = known || (args.size() >= 3 && args[1] == directive);
  if (!known)
    return Fail(kExitUsage,
                "sim fault needs show, clear, or a directive (status, hang, reply, svn)");
  std::string line;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i].find('\n') != std::string::npos)
      return Fail(kExitFailure, "a directive is one line");
    line += (i > 1 ? " " : "") + args[i];
  }
  WriteText(path, ReadText(path).value_or("") + line + "\n");
  return kExitOk;
}

int Run(const std::vector<std::string>& args) {
  if (args.empty()) return Fail(kExitUsage, "sim needs a subcommand; see keystonectl help sim");
  if (args[0] == "status" && args.size() == 1) return Status();
  if (args[0] == "fault" && args.size() >= 2) return Fault(args);
  if (args[0] == "version" && args.size() == 2) {
    if (args[1].empty() || args[1].size() > 49 || args[1].find('\n') != std::string::npos) {
      return Fail(kExitFailure, "the version must be 1 to 49 characters on one line");
    }
    SetFirmwareValue("version", args[1]);
    return kExitOk;
  }
  if (args[0] == "svn" && args.size() == 2) {
    if (args[1].empty() || args[1].size() > 10 ||
        args[1].find_first_not_of("0123456789") != std::string::npos ||
        std::stoull(args[1]) > 0x7FFFFFFF) {
      return Fail(kExitFailure, "the SVN must be a number up to 2147483647");
    }
    SetFirmwareValue("svn", args[1]);
    return kExitOk;
  }
  return Fail(kExitUsage, "bad sim command line; see keystonectl help sim");
}

const RegisterCommand kRegistration({"sim", "show and script the simulated applet's firmware",
                                     kUsage, Run});

}  // namespace
}  // namespace keystonectl
