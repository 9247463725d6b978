// libFuzzer target over every decoder of the applet channel: the raw item parser, the Message
// envelope with its metadata and payload, and each message class. The first input byte picks the
// decoder; the rest is the buffer. Where decoding succeeds, writing the object, reading that back
// and writing again must give the same bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "tlv/catalogue.h"
#include "tlv/message.h"
#include "tlv/metadata.h"
#include "tlv/tlv.h"

namespace {

using mfab::Bytes;

// Input byte 0 values below this pick the parser and the envelope; the rest pick a class.
constexpr uint8_t kFirstClassSelector = 2;

[[noreturn]] void Fail(const char* what) {
  __builtin_printf("round trip broken: %s\n", what);
  std::abort();
}

void FuzzParser(const uint8_t* begin, const uint8_t* end) {
  const mfab::TlvIndex index = mfab::ParseTlv(begin, end);
  for (const uint8_t* item = begin; item != end; item = mfab::TlvNext(item)) {
    if (item + mfab::kTlvHeaderSize > end || mfab::TlvValueEnd(item) > end) Fail("walk");
    if (index.at(mfab::TlvTag(item)) > item) Fail("first occurrence");
    if (mfab::TlvLength(item) <= 4) (void)mfab::TlvToInt(item);
    if (mfab::TlvLength(item) == 8) (void)mfab::TlvToTime(item);
  }
}

// Writes, reads back and writes again; the two writes must agree.
template <class Read>
void CheckRoundTrip(const mfab::Serializable& object, Read read, const char* what) {
  Bytes first;
  try {
    first = object.Serialize();
  } catch (const std::overflow_error&) {
    return;  // read values may be up to 65535 bytes; the writer stops at 32767
  }
  const Bytes second = read(first);
  if (first != second) Fail(what);
}

void FuzzClass(const mfab::CatalogueEntry& entry, const uint8_t* begin, const uint8_t* end) {
  auto object = entry.create();
  object->Deserialize(begin, end);
  (void)entry.describe(*object);
  CheckRoundTrip(
      *object,
      [&](const Bytes& bytes) {
        auto again = entry.create();
        again->Deserialize(bytes);
        return again->Serialize();
      },
      entry.name);
}

void FuzzMessage(const uint8_t* begin, const uint8_t* end) {
  mfab::Message message;
  message.Deserialize(begin, end);
  CheckRoundTrip(
      message, [](const Bytes& bytes) { return mfab::Message::Parse(bytes).Serialize(); },
      "Message");
  if (message.metadata) {
    mfab::MessageMetadata metadata;
    try {
      metadata.Deserialize(*message.metadata);
    } catch (const mfab::TlvException&) {
    }
  }
  if (const mfab::CatalogueEntry* payload = mfab::PayloadClassOf(message.messageType)) {
    FuzzClass(*payload, message.payload.data(), message.payload.data() + message.payload.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  const uint8_t* begin = data + 1;
  const uint8_t* end = data + size;
  const auto catalogue = mfab::MessageCatalogue();
  try {
    if (selector == 0) {
      FuzzParser(begin, end);
    } else if (selector == 1) {
      FuzzMessage(begin, end);
    } else {
      FuzzClass(catalogue[(selector - kFirstClassSelector) % catalogue.size()], begin, end);
    }
  } catch (const mfab::TlvException&) {
    // Refusing a malformed buffer is the expected outcome.
  }
  return 0;
}
