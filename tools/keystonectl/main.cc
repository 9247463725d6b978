// keystonectl: the engine's client and administration tool.

#include <algorithm>
#include <cstring>
#include <exception>

#include "tools/keystonectl/command.h"

namespace keystonectl {
namespace {

std::vector<Command>& Registry() {
  static std::vector<Command> commands;
  return commands;
}

void PrintOverview(std::FILE* out) {
  std::fprintf(out,
               "usage: keystonectl <command> [arguments]\n"
               "       keystonectl help <command>\n\n"
               "commands:\n");
  std::vector<Command> sorted = Commands();
  std::sort(sorted.begin(), sorted.end(),
            [](const Command& a, const Command& b) { return std::strcmp(a.name, b.name) < 0; });
  for (const Command& c : sorted) std::fprintf(out, "  %-8s %s\n", c.name, c.summary);
  std::fprintf(out, "\nkeystonectl --help prints every command's full help.\n");
}

const Command* Find(const std::string& name) {
  for (const Command& c : Commands()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

}  // namespace

void AddCommand(const Command& command) { Registry().push_back(command); }
const std::vector<Command>& Commands() { return Registry(); }

int Fail(int code, const std::string& text) {
  std::fprintf(stderr, "keystonectl: %s\n", text.c_str());
  return code;
}

}  // namespace keystonectl

int main(int argc, char** argv) {
  using namespace keystonectl;
  if (argc < 2) {
    PrintOverview(stderr);
    return kExitUsage;
  }
  const std::string name = argv[1];
  if (name == "--help" || name == "-h") {
    PrintOverview(stdout);
    for (const Command& c : Commands()) std::printf("\n%s\n", c.usage);
    return kExitOk;
  }
  if (name == "help") {
    if (argc < 3) {
      PrintOverview(stdout);
      return kExitOk;
    }
    const Command* c = Find(argv[2]);
    if (!c) return Fail(kExitUsage, std::string("unknown command '") + argv[2] + "'");
    std::printf("%s\n", c->usage);
    return kExitOk;
  }
  const Command* command = Find(name);
  if (!command) {
    PrintOverview(stderr);
    return Fail(kExitUsage, "unknown command '" + name + "'");
  }
  std::vector<std::string> args(argv + 2, argv + argc);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::printf("%s\n", command->usage);
    return kExitOk;
  }
  try {
    return command->run(args);
  } catch (const std::exception& e) {
    return Fail(kExitFailure, e.what());
  }
}
