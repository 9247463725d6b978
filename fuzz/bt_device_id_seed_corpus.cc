// Writes the seed corpus of the Bluetooth texts' fuzz target into the directory named by
// argv[1]: Android_Device values (good, short, cut, not hex, too long), address texts (upper and
// lower case, a trailing NUL, a digit missing, other separators) and device names (ASCII, cut in
// a multi-byte character, longer than a record holds). Each seed is one selector byte and a text.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bt_device_id_seed_corpus DIRECTORY\n");
    return 2;
  }
  const std::filesystem::path directory = argv[1];
  std::filesystem::create_directories(directory);
  const std::vector<std::pair<char, std::string>> seeds = {
      {0, "aa:bb:cc:0d:0e:0f:01:00"},
      {0, "AA-BB-CC-0D-0E-0F-02-00-"},
      {0, "1122"},
      {0, "11:2"},
      {0, "11:zz"},
      {0, std::string(65, '1')},
      {1, "AA:BB:CC:DD:EE:FF"},
      {1, "aa:bb:cc:dd:ee:ff"},
      {1, std::string("aa:bb:cc:dd:ee:ff") + '\0'},
      {1, "aa:bb:cc:dd:ee:f"},
      {1, "aa-bb-cc-dd-ee-ff"},
      {2, "Pixel 8"},
      {2 | 8 | 16, std::string(40, 'x') + "\xC3\xA9"},
      {2, std::string(300, 'n')},
  };
  int count = 0;
  for (const auto& [selector, text] : seeds) {
    std::ofstream file(directory / ("seed-" + std::to_string(count++)),
                       std::ios::binary | std::ios::trunc);
    file.put(selector);
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!file) {
      std::fprintf(stderr, "bt_device_id_seed_corpus: cannot write into %s\n", argv[1]);
      return 1;
    }
  }
  return 0;
}
