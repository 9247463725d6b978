// Differential libFuzzer target: the codec against a plain reference kept in this file. The
// reference indexes a sequence with a std::map (first occurrence of a tag wins), reads an object
// through its type-free field table into a tree of canonical values and writes that tree back.
// For every input the codec's outcome (the bytes written after reading, or the exception's kind
// and text) must equal the reference's, for the owning classes and the in-place forms
// (MessageView, LoggingEntryView, MessageMetadataView) alike. The input layout is the TLV
// target's, so both share one seed corpus: byte 0 picks the parser (0), the envelope (1) or a
// catalogue class (2 on).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tlv/catalogue.h"
#include "tlv/message.h"
#include "tlv/metadata.h"
#include "tlv/record.h"
#include "tlv/tlv.h"

namespace {

using mfab::Bytes;
using mfab::record::FieldInfo;
using mfab::record::Kind;

constexpr uint8_t kFirstClassSelector = 2;

[[noreturn]] void Fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "codec and reference disagree: %s %s\n", what, detail.c_str());
  std::abort();
}

// The reference's own refusals carry the codec's texts, so the texts can be compared.
struct ReferenceTlvError {
  std::string text;
};

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

struct Item {
  uint16_t tag;
  const uint8_t* value;
  size_t length;
};

// The items of a sequence in order, and the position of each tag's first item.
struct Sequence {
  std::vector<Item> items;
  std::map<uint16_t, size_t> first;

  const Item* Find(uint16_t tag) const {
    auto it = first.find(tag);
    return it == first.end() ? nullptr : &items[it->second];
  }
};

Sequence Parse(const uint8_t* begin, const uint8_t* end) {
  Sequence sequence;
  for (const uint8_t* p = begin; p != end;) {
    const size_t remaining = static_cast<size_t>(end - p);
    if (remaining < 4) {
      throw ReferenceTlvError{"TLV buffer ends in a fragment of " + std::to_string(remaining) +
                              " bytes, shorter than an item header."};
    }
    const uint16_t tag = Be16(p);
    const size_t length = Be16(p + 2);
    if (length > remaining - 4) {
      char text[128];
      std::snprintf(text, sizeof(text),
                    "TLV item (0x%04x) declares %zu value bytes but only %zu remain.", tag, length,
                    remaining - 4);
      throw ReferenceTlvError{text};
    }
    sequence.first.emplace(tag, sequence.items.size());  // keeps the first occurrence
    sequence.items.push_back({tag, p + 4, length});
    p += 4 + length;
  }
  return sequence;
}

[[noreturn]] void NotFound(uint16_t tag) {
  char text[48];
  std::snprintf(text, sizeof(text), "Requested TLV (0x%04x) not found.", tag);
  throw ReferenceTlvError{text};
}

uint32_t ReadInt(const Item& item) {
  if (item.length > 4) throw ReferenceTlvError{"Not an integer value."};
  uint32_t value = 0;
  for (size_t i = 0; i < item.length; ++i) value = (value << 8) | item.value[i];
  return value;
}

Bytes Be32(uint32_t value) {
  return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

// One object as canonical values, one per field of its table: a scalar's value bytes as the
// writer emits them, a nested object as one element, a list as its elements.
struct Object {
  struct Value {
    Bytes scalar;
    std::vector<Object> elements;
  };
  std::vector<Value> values;
};

Object Read(const std::vector<FieldInfo>& schema, const uint8_t* begin, const uint8_t* end,
            const Object* defaults);

// The fields of a fresh object of the class with this table, as the reference reads them.
Object FreshDefaults(mfab::record::SchemaFunction schema) {
  for (const mfab::CatalogueEntry& entry : mfab::MessageCatalogue()) {
    if (entry.schema != schema) continue;
    const Bytes fresh = entry.create()->Serialize();
    // A fresh object writes every field, so nothing falls back to a default here.
    return Read(schema(), fresh.data(), fresh.data() + fresh.size(), nullptr);
  }
  Fail("element class missing from the catalogue");
}

std::vector<Object> ReadElements(const FieldInfo& field, const Sequence& sequence) {
  std::vector<Object> elements;
  const Item* first = sequence.Find(field.elementTag);
  if (first == nullptr) return elements;
  const Object defaults = FreshDefaults(field.elementSchema);
  for (size_t i = static_cast<size_t>(first - sequence.items.data()); i < sequence.items.size();
       ++i) {
    const Item& item = sequence.items[i];
    elements.push_back(
        Read(field.elementSchema(), item.value, item.value + item.length, &defaults));
  }
  return elements;
}

Object Read(const std::vector<FieldInfo>& schema, const uint8_t* begin, const uint8_t* end,
            const Object* defaults) {
  const Sequence sequence = Parse(begin, end);
  Object object;
  object.values.resize(schema.size());
  for (size_t i = 0; i < schema.size(); ++i) {
    const FieldInfo& field = schema[i];
    Object::Value& value = object.values[i];
    if (field.kind == Kind::kTopLevelList) {
      value.elements = ReadElements(field, sequence);
      continue;
    }
    // A fresh object's write-only fields are taken from its own bytes: they are its defaults.
    const bool readable = field.access == mfab::record::Access::kReadWrite || defaults == nullptr;
    const Item* item = readable ? sequence.Find(field.tag) : nullptr;
    if (item == nullptr) {
      if (field.access == mfab::record::Access::kReadWrite &&
          field.presence == mfab::record::Presence::kRequired) {
        NotFound(field.tag);
      }
      if (defaults == nullptr) Fail("a fresh object left a field out", field.name);
      value = defaults->values[i];
      continue;
    }
    switch (field.kind) {
      case Kind::kInt: {
        const uint32_t raw = ReadInt(*item);
        const uint32_t mask = field.bits >= 32 ? 0xFFFFFFFFu : (1u << field.bits) - 1;
        value.scalar = Be32(field.bits == 1 ? (raw != 0 ? 1 : 0) : raw & mask);
        break;
      }
      case Kind::kTime:
        if (item->length != 8) throw ReferenceTlvError{"Not an time value."};
        value.scalar.assign(item->value, item->value + 8);
        break;
      case Kind::kString:
      case Kind::kBytes:
        value.scalar.assign(item->value, item->value + item->length);
        break;
      case Kind::kNested: {
        const Object fresh = FreshDefaults(field.elementSchema);
        value.elements.push_back(
            Read(field.elementSchema(), item->value, item->value + item->length, &fresh));
        break;
      }
      case Kind::kList:
        value.elements = ReadElements(field, Parse(item->value, item->value + item->length));
        break;
      case Kind::kTopLevelList:
        break;
    }
  }
  return object;
}

void AppendItem(Bytes& out, uint16_t tag, const Bytes& value) {
  if (value.size() > 32767) {
    throw std::overflow_error("Error converting value " + std::to_string(value.size()) +
                              " to unsigned short (max value: 32767).");
  }
  out.push_back(static_cast<uint8_t>(tag >> 8));
  out.push_back(static_cast<uint8_t>(tag));
  out.push_back(static_cast<uint8_t>(value.size() >> 8));
  out.push_back(static_cast<uint8_t>(value.size()));
  out.insert(out.end(), value.begin(), value.end());
}

Bytes Write(const std::vector<FieldInfo>& schema, const Object& object) {
  Bytes out;
  for (size_t i = 0; i < schema.size(); ++i) {
    const FieldInfo& field = schema[i];
    const Object::Value& value = object.values[i];
    switch (field.kind) {
      case Kind::kInt:
      case Kind::kTime:
      case Kind::kString:
      case Kind::kBytes:
        AppendItem(out, field.tag, value.scalar);
        break;
      case Kind::kNested:
        AppendItem(out, field.tag, Write(field.elementSchema(), value.elements.at(0)));
        break;
      case Kind::kList:
      case Kind::kTopLevelList: {
        Bytes body;
        for (const Object& element : value.elements) {
          AppendItem(body, field.elementTag, Write(field.elementSchema(), element));
        }
        if (field.kind == Kind::kList) {
          AppendItem(out, field.tag, body);
        } else {
          out.insert(out.end(), body.begin(), body.end());
        }
        break;
      }
    }
  }
  return out;
}

// What reading and then writing gave: the bytes, or which exception with which text.
struct Outcome {
  enum class Result { kBytes, kTlvError, kOverflow } result = Result::kBytes;
  Bytes bytes;
  std::string text;

  bool operator==(const Outcome&) const = default;
};

template <class ReadFn, class WriteFn>
Outcome Run(ReadFn read, WriteFn write, bool reference) {
  Outcome outcome;
  try {
    read();
  } catch (const mfab::TlvException& e) {
    if (reference) Fail("reference threw the codec's exception");
    return {Outcome::Result::kTlvError, {}, e.what()};
  } catch (const ReferenceTlvError& e) {
    return {Outcome::Result::kTlvError, {}, e.text};
  }
  try {
    outcome.bytes = write();
  } catch (const std::overflow_error& e) {
    return {Outcome::Result::kOverflow, {}, e.what()};
  }
  return outcome;
}

void Compare(const Outcome& codec, const Outcome& reference, const char* what) {
  if (codec == reference) return;
  Fail(what, "codec: " + codec.text + " reference: " + reference.text);
}

template <class View>
void DiffView(const Outcome& reference, const uint8_t* begin, const uint8_t* end,
              const char* what) {
  View view;
  Compare(Run([&] { view.Deserialize(begin, end); }, [&] { return view.Serialize(); }, false),
          reference, what);
}

void DiffClass(const mfab::CatalogueEntry& entry, const uint8_t* begin, const uint8_t* end) {
  std::unique_ptr<mfab::Serializable> object = entry.create();
  const Outcome codec =
      Run([&] { object->Deserialize(begin, end); }, [&] { return object->Serialize(); }, false);
  const std::vector<FieldInfo> schema = entry.schema();
  const Object defaults = FreshDefaults(entry.schema);
  Object read;
  const Outcome reference = Run([&] { read = Read(schema, begin, end, &defaults); },
                                [&] { return Write(schema, read); }, true);
  Compare(codec, reference, entry.name);
  // The in-place forms share the owning forms' tables, so they must agree with the reference too.
  const std::string_view name = entry.name;
  if (name == "mfab::LoggingEntry") {
    DiffView<mfab::LoggingEntryView>(reference, begin, end, "LoggingEntryView");
  } else if (name == "mfab::MessageMetadata") {
    DiffView<mfab::MessageMetadataView>(reference, begin, end, "MessageMetadataView");
  }
}

// The envelope is written by hand rather than from a table: its reference is spelled out too.
struct Envelope {
  uint32_t moduleId = 0, messageType = 0, category = 0, sessionId = 0;
  Bytes payload;
  const Item* metadata = nullptr;
  bool isResponse = false;
};

Envelope ReadEnvelope(const Sequence& sequence) {
  auto required = [&](uint16_t tag) -> const Item& {
    const Item* item = sequence.Find(tag);
    if (item == nullptr) NotFound(tag);
    return *item;
  };
  Envelope envelope;
  envelope.moduleId = ReadInt(required(0x0000));
  envelope.category = ReadInt(required(0x0003));
  envelope.messageType = ReadInt(required(0x0001));
  const Item& payload = required(0x0002);
  envelope.payload.assign(payload.value, payload.value + payload.length);
  envelope.sessionId = ReadInt(required(0x0008));
  envelope.metadata = sequence.Find(0x0004);
  const Item* isResponse = sequence.Find(0x0007);
  envelope.isResponse = isResponse != nullptr && ReadInt(*isResponse) != 0;
  return envelope;
}

Bytes WriteEnvelope(const Envelope& envelope) {
  Bytes out;
  AppendItem(out, 0x0000, Be32(envelope.moduleId));
  AppendItem(out, 0x0001, Be32(envelope.messageType));
  AppendItem(out, 0x0003, Be32(envelope.category));
  AppendItem(out, 0x0002, envelope.payload);
  if (const Item* metadata = envelope.metadata) {
    AppendItem(out, 0x0004, Bytes(metadata->value, metadata->value + metadata->length));
  }
  AppendItem(out, 0x0007, Be32(envelope.isResponse ? 1 : 0));
  AppendItem(out, 0x0008, Be32(envelope.sessionId));
  return out;
}

void DiffEnvelope(const uint8_t* begin, const uint8_t* end) {
  mfab::Message message;
  const Outcome codec =
      Run([&] { message.Deserialize(begin, end); }, [&] { return message.Serialize(); }, false);
  Sequence sequence;
  Envelope envelope;
  const Outcome reference = Run(
      [&] {
        sequence = Parse(begin, end);
        envelope = ReadEnvelope(sequence);
      },
      [&] { return WriteEnvelope(envelope); }, true);
  Compare(codec, reference, "Message");
  mfab::MessageView view;
  Compare(Run([&] { view = mfab::MessageView::Parse({begin, end}); },
              [&] { return view.Serialize(); }, false),
          reference, "MessageView");
}

void DiffParser(const uint8_t* begin, const uint8_t* end) {
  mfab::TlvIndex index;
  std::string codecError;
  try {
    index = mfab::ParseTlv(begin, end);
  } catch (const mfab::TlvException& e) {
    codecError = e.what();
  }
  Sequence sequence;
  try {
    sequence = Parse(begin, end);
  } catch (const ReferenceTlvError& e) {
    if (codecError != e.text) Fail("parser refusal", codecError + " / " + e.text);
    return;
  }
  if (!codecError.empty()) Fail("parser refused a valid buffer", codecError);
  if (index.size() != sequence.first.size()) Fail("distinct tags");
  if (index.Items().size() != sequence.items.size()) Fail("item count");
  for (size_t i = 0; i < sequence.items.size(); ++i) {
    if (index.Items()[i].item + 4 != sequence.items[i].value) Fail("arrival order");
  }
  for (const auto& [tag, position] : sequence.first) {
    const uint8_t* expected = sequence.items[position].value - 4;
    if (index.Find(tag) != expected) Fail("first occurrence");
    // Any starting hint finds the same first item.
    for (size_t hint : {size_t{0}, position, position + 1, sequence.items.size()}) {
      if (index.Find(tag, hint) != expected) Fail("first occurrence from a hint");
    }
    const uint16_t next = static_cast<uint16_t>(tag + 1);
    if (sequence.first.count(next) == 0 && index.Find(next) != nullptr) Fail("absent tag found");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  const uint8_t* begin = data + 1;
  const uint8_t* end = data + size;
  if (selector == 0) {
    DiffParser(begin, end);
  } else if (selector == 1) {
    DiffEnvelope(begin, end);
  } else {
    const auto catalogue = mfab::MessageCatalogue();
    DiffClass(catalogue[(selector - kFirstClassSelector) % catalogue.size()], begin, end);
  }
  return 0;
}
