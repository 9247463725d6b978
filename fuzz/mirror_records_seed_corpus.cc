// Writes the seed corpus of the mirror-records fuzz target into the directory named by argv[1]:
// the simulated applet's policy elements (factors with parameters, actions with settings, system
// settings) and user data, each behind its decoder's selector byte.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/applet/policy.h"
#include "sim/applet/records.h"

namespace {

void Write(const std::filesystem::path& dir, const char* name, uint8_t selector,
           const std::vector<uint8_t>& bytes) {
  std::ofstream out(dir / name, std::ios::binary);
  out.put(static_cast<char>(selector));
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: mirror_records_seed_corpus DIR\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::filesystem::create_directories(dir);
  kilnsim::Policy policy;
  policy.factors = {{"phone", "Phone", 2, true, true, false, true, 30, 5, {{"MinRssi", "-70"}}},
                    {"pin", "PIN", 1, false, false, true, false, 0, 0, {}}};
  policy.actions = {{"OSLogin", {{{"phone", {{"Grace", "10"}}}, {"pin", {}}}, {{"pin", {}}}}}};
  policy.settings = {{"Lock", 1, {'y', 'e', 's'}}};
  Write(dir, "factors", 0, kilnsim::SerializeFactorElements(policy));
  Write(dir, "actions", 1, kilnsim::SerializeActionElements(policy));
  Write(dir, "settings", 2, kilnsim::SerializeSettingElements(policy));
  Write(dir, "users", 3,
        kilnsim::SerializeUserData(
            {{"S-1-5-21-1-2-3-1001", {{"phone", {{"IsEnrolled", "true"}, {"DeviceId", "01"}}}}},
             {"S-1-5-21-1-2-3-1002", {}}}));
  return 0;
}
