// Writes the seed corpus of the TLV fuzz target into the directory named by argv[1]: for every
// message class a filled object, and Message envelopes around the payloads the engine knows, with
// metadata and a stored-data block. Each file is the fuzz target's selector byte and a buffer.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tlv/catalogue.h"
#include "tlv/message.h"
#include "tlv/metadata.h"
#include "tlv/piggyback_block.h"

namespace {

using mfab::Bytes;
using mfab::record::FieldInfo;
using mfab::record::Kind;

Bytes Sample(const std::vector<FieldInfo>& schema, int elements) {
  Bytes out;
  for (const FieldInfo& field : schema) {
    switch (field.kind) {
      case Kind::kInt:
        mfab::AppendTlvInt(out, field.tag, field.tag & 0x7F);
        break;
      case Kind::kTime:
        mfab::AppendTlvTime(out, field.tag, 1700000000);
        break;
      case Kind::kString:
        mfab::AppendTlv(out, field.tag, std::string_view("S-1-5-21-1-2-3-1000"));
        break;
      case Kind::kBytes:
        mfab::AppendTlv(out, field.tag, Bytes{0xDE, 0xAD, 0xBE, 0xEF});
        break;
      case Kind::kNested:
        mfab::AppendTlv(out, field.tag, Sample(field.elementSchema(), elements));
        break;
      case Kind::kList: {
        Bytes body;
        for (int i = 0; i < elements; ++i) {
          mfab::AppendTlv(body, field.elementTag, Sample(field.elementSchema(), elements));
        }
        mfab::AppendTlv(out, field.tag, body);
        break;
      }
      case Kind::kTopLevelList:
        for (int i = 0; i < elements; ++i) {
          mfab::AppendTlv(out, field.elementTag, Sample(field.elementSchema(), elements));
        }
        break;
    }
  }
  return out;
}

void WriteSeed(const std::string& directory, const std::string& name, uint8_t selector,
               const Bytes& bytes) {
  std::ofstream file(directory + "/" + name, std::ios::binary | std::ios::trunc);
  file.put(static_cast<char>(selector));
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

Bytes StoredDataBlock() {
  Bytes categories, files, user, body, block;
  mfab::AppendTlvInt(categories, 0x7BAD, mfab::data_category::kUserEnrollment);
  mfab::AppendTlv(body, 0x7BAC, categories);
  Bytes file;
  mfab::AppendTlv(file, 0x7BB0, std::string_view("_masterVersions"));
  mfab::AppendTlv(file, 0x7BB1, Bytes{1, 2, 3});
  mfab::AppendTlv(files, 0x7BAF, file);
  mfab::AppendTlv(body, 0x7BAE, files);
  mfab::AppendTlv(user, 0x7BB3, std::string_view("S-1-5-21-1-2-3-1000"));
  mfab::AppendTlv(body, 0x7BB2, user);
  mfab::AppendTlv(block, mfab::Message::kTagPiggyBack, body);
  return block;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tlv_seed_corpus DIRECTORY\n");
    return 2;
  }
  const std::string directory = argv[1];
  std::filesystem::create_directories(directory);
  const auto catalogue = mfab::MessageCatalogue();
  mfab::MessageMetadata metadata;
  metadata.entries.resize(2);
  metadata.entries[0].component = "TEE";
  metadata.entries[0].text = "applet log line";
  for (size_t i = 0; i < catalogue.size(); ++i) {
    const Bytes object = Sample(catalogue[i].schema(), 1);
    const auto selector = static_cast<uint8_t>(2 + i);
    WriteSeed(directory, "class-" + std::to_string(i), selector, object);
    WriteSeed(directory, "class-" + std::to_string(i) + "-lists", selector,
              Sample(catalogue[i].schema(), 2));
    WriteSeed(directory, "items-" + std::to_string(i), 0, object);
    for (const uint32_t type : mfab::MessageTypesOf(catalogue[i])) {
      mfab::Message message;
      message.moduleId = 5;
      message.messageType = type;
      message.category = 1;
      message.payload = object;
      message.metadata = std::make_shared<Bytes>(metadata.Serialize());
      message.sessionId = 3;
      Bytes wire = message.Serialize();
      WriteSeed(directory, "message-" + std::to_string(type & 0xFFFF), 1, wire);
      const Bytes block = StoredDataBlock();
      wire.insert(wire.end(), block.begin(), block.end());
      WriteSeed(directory, "message-" + std::to_string(type & 0xFFFF) + "-stored", 1, wire);
    }
  }
  WriteSeed(directory, "message-default", 1, mfab::Message().Serialize());
  return 0;
}
