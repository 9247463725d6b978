// Writes the seed corpus of the Read RSSI answer fuzz target into the directory named by argv[1]:
// a good answer, every truncation of it, a command status, another opcode, a failing status and
// another link's answer. Each seed is the handle (two bytes, little-endian) and the answer.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/bluetooth.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: rssi_answer_seed_corpus DIRECTORY\n");
    return 2;
  }
  const std::filesystem::path directory = argv[1];
  std::filesystem::create_directories(directory);
  const std::vector<uint8_t> good = platform::ReadRssiAnswerBytes(0, 0x002A, -59);
  std::vector<std::vector<uint8_t>> answers;
  for (size_t size = 0; size <= good.size(); ++size) {
    answers.emplace_back(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
  }
  answers.push_back({0x0F, 0x04, 0x0C, 0x01, 0x05, 0x14});
  answers.push_back({0x0E, 0x07, 0x01, 0x12, 0xFC, 0x00, 0x2A, 0x00, 0xC5});
  answers.push_back(platform::ReadRssiAnswerBytes(0x02, 0x002A, 0));
  answers.push_back(platform::ReadRssiAnswerBytes(0, 0x002B, -40));
  int count = 0;
  for (const std::vector<uint8_t>& answer : answers) {
    std::ofstream file(directory / ("seed-" + std::to_string(count++)),
                       std::ios::binary | std::ios::trunc);
    file.put(0x2A);
    file.put(0x00);
    file.write(reinterpret_cast<const char*>(answer.data()),
               static_cast<std::streamsize>(answer.size()));
    if (!file) {
      std::fprintf(stderr, "rssi_answer_seed_corpus: cannot write into %s\n", argv[1]);
      return 1;
    }
  }
  return 0;
}
