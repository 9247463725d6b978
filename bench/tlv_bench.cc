// TLV codec costs, each beside a memcpy of the same bytes so the ratio can be read from one run.

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tlv/message.h"
#include "tlv/metadata.h"

namespace {

using mfab::Bytes;

constexpr size_t kPayloadSize = 4096;
constexpr size_t kMetadataEntries = 16;
constexpr size_t kParseItems = 256;
constexpr size_t kParseBufferSize = 32 * 1024;

// A reply as the applet sends it: a 4 KiB payload and 16 log records.
mfab::Message SampleReply() {
  mfab::Message message;
  message.moduleId = 5;
  message.messageType = mfab::message_type::kSaveRequest;
  message.category = 1;
  message.payload.assign(kPayloadSize, 0x5A);
  mfab::MessageMetadata metadata;
  for (size_t i = 0; i < kMetadataEntries; ++i) {
    mfab::LoggingEntry entry;
    entry.auxText = "aux";
    entry.level = 1;
    entry.component = "TEE-CALL";
    entry.scope = "SessionManager::Dispatch";
    entry.text = "handled request " + std::to_string(i);
    entry.fwTime = 1700000000 + i;
    metadata.entries.push_back(entry);
  }
  message.metadata = std::make_shared<Bytes>(metadata.Serialize());
  message.sessionId = 3;
  return message;
}

// Serializes the reply, then reads it back with its metadata entries, as the session does: in
// place, viewing the wire buffer.
void BM_MessageRoundTrip(benchmark::State& state) {
  const mfab::Message reply = SampleReply();
  size_t wireSize = 0;
  for (auto _ : state) {
    const Bytes wire = reply.Serialize();
    const mfab::MessageView read = mfab::MessageView::Parse(wire);
    mfab::MessageMetadataView metadata;
    metadata.Deserialize(*read.metadata);
    benchmark::DoNotOptimize(metadata.entries.data());
    wireSize = wire.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wireSize));
  state.counters["wire_bytes"] = static_cast<double>(wireSize);
}
BENCHMARK(BM_MessageRoundTrip);

// The same with the owning forms, which copy the payload, the metadata and every text.
void BM_MessageRoundTripOwned(benchmark::State& state) {
  const mfab::Message reply = SampleReply();
  for (auto _ : state) {
    const Bytes wire = reply.Serialize();
    const mfab::Message read = mfab::Message::Parse(wire);
    mfab::MessageMetadata metadata;
    metadata.Deserialize(*read.metadata);
    benchmark::DoNotOptimize(metadata.entries.data());
  }
}
BENCHMARK(BM_MessageRoundTripOwned);

// The least any reader of the reply must do: visit every item header (the envelope's, the
// metadata's entries and each entry's fields), each found from the one before it.
void BM_MessageItemWalk(benchmark::State& state) {
  const Bytes wire = SampleReply().Serialize();
  const auto walk = [](const uint8_t* begin, const uint8_t* end, auto&& visit) {
    size_t items = 0;
    for (const uint8_t* item = begin; item + mfab::kTlvHeaderSize <= end;
         item = mfab::TlvNext(item)) {
      ++items;
      visit(item);
    }
    return items;
  };
  size_t items = 0;
  for (auto _ : state) {
    items = 0;
    items += walk(wire.data(), wire.data() + wire.size(), [&](const uint8_t* item) {
      if (mfab::TlvTag(item) != mfab::Message::kTagMetadata) return;
      items += walk(mfab::TlvValueBegin(item), mfab::TlvValueEnd(item), [&](const uint8_t* entry) {
        items += walk(mfab::TlvValueBegin(entry), mfab::TlvValueEnd(entry),
                      [](const uint8_t* field) { benchmark::DoNotOptimize(field); });
      });
    });
    benchmark::DoNotOptimize(items);
  }
  state.counters["items"] = static_cast<double>(items);
}
BENCHMARK(BM_MessageItemWalk);

// The least a checked writer and reader of this one reply shape do, written by hand: one
// allocation of the exact size filled item by item; then every header of the envelope, the
// metadata and each entry checked against the buffer's end and its expected tag (integers 4
// bytes, the time 8), each field stored into a plain record in a fixed array. No tables, no
// fallback for other shapes, no owning vector: the floor under BM_MessageRoundTrip.
struct PlainEntry {
  std::string_view auxText, component, scope, text;
  uint8_t level = 0, auxValueA = 0, auxValueB = 0;
  uint64_t fwTime = 0;
};

inline uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// The next item if it has this tag and fits before end; else null.
inline const uint8_t* Expect(const uint8_t* cursor, const uint8_t* end, uint16_t tag) {
  if (end - cursor < 4) return nullptr;
  const uint32_t header = Be32(cursor);
  if ((header >> 16) != tag || (header & 0xFFFF) > static_cast<size_t>(end - cursor - 4)) return nullptr;
  return cursor;
}

inline void PutItem(uint8_t*& out, uint16_t tag, const uint8_t* value, size_t length) {
  const uint8_t header[4] = {static_cast<uint8_t>(tag >> 8), static_cast<uint8_t>(tag),
                             static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
  std::memcpy(out, header, 4);
  std::memcpy(out + 4, value, length);
  out += 4 + length;
}

inline void PutUint(uint8_t*& out, uint16_t tag, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  PutItem(out, tag, bytes, 4);
}

// The envelope of the reply written below, each item checked; its metadata item, or null at the
// first item that is not as expected.
const uint8_t* ReadHandWrittenEnvelope(const uint8_t* begin, size_t size) {
  const uint8_t* cursor = begin;
  const uint8_t* const end = begin + size;
  const uint8_t* metadata = nullptr;
  uint32_t ints[5] = {};
  size_t next = 0;
  for (const uint16_t tag : {mfab::Message::kTagModuleId, mfab::Message::kTagMessageType,
                             mfab::Message::kTagCategory, mfab::Message::kTagPayload,
                             mfab::Message::kTagMetadata, mfab::Message::kTagIsResponse,
                             mfab::Message::kTagSessionId}) {
    const uint8_t* item = Expect(cursor, end, tag);
    if (item == nullptr) return nullptr;
    if (tag == mfab::Message::kTagMetadata) metadata = item;
    if (tag != mfab::Message::kTagPayload && tag != mfab::Message::kTagMetadata) {
      if (mfab::TlvLength(item) != 4) return nullptr;
      ints[next++] = Be32(item + 4);
    }
    cursor = item + 4 + mfab::TlvLength(item);
  }
  benchmark::DoNotOptimize(ints);
  return metadata;
}

// Reads the metadata's entries into entries (a plain record or the codec's view, which name their
// fields alike); false at the first item that is not as expected or past entries' end.
template <class Entry>
bool ReadHandWrittenEntries(const uint8_t* metadata, std::span<Entry> entries, size_t& count) {
  const uint8_t* const metadataEnd = metadata + 4 + mfab::TlvLength(metadata);
  count = 0;
  for (const uint8_t* entry = metadata + 4; entry != metadataEnd;) {
    if (count == entries.size() || Expect(entry, metadataEnd, 0x7B38) == nullptr) return false;
    const uint8_t* field = entry + 4;
    const uint8_t* const entryEnd = field + mfab::TlvLength(entry);
    Entry& e = entries[count++];
    const auto text = [&](uint16_t tag, std::string_view& into) {
      if (Expect(field, entryEnd, tag) == nullptr) return false;
      into = {reinterpret_cast<const char*>(field + 4), mfab::TlvLength(field)};
      field += 4 + mfab::TlvLength(field);
      return true;
    };
    const auto small = [&](uint16_t tag, uint8_t& into) {
      if (Expect(field, entryEnd, tag) == nullptr || mfab::TlvLength(field) != 4) return false;
      into = static_cast<uint8_t>(Be32(field + 4));
      field += 8;
      return true;
    };
    if (!(text(0x6A02, e.auxText) && small(0x6A03, e.level) && text(0x6A04, e.component) &&
          small(0x6A05, e.auxValueA) && text(0x6A06, e.scope) && text(0x6A07, e.text) &&
          small(0x6A08, e.auxValueB))) {
      return false;
    }
    if (Expect(field, entryEnd, 0x6A09) != nullptr && mfab::TlvLength(field) == 8) {
      e.fwTime = (uint64_t{Be32(field + 4)} << 32) | Be32(field + 8);
      field += 12;
    }
    if (field != entryEnd) return false;
    entry = entryEnd;
  }
  return true;
}

// The number of items in the metadata, each checked to fit; SIZE_MAX for one that does not.
size_t CountHandWrittenItems(const uint8_t* metadata) {
  const uint8_t* const end = metadata + 4 + mfab::TlvLength(metadata);
  size_t count = 0;
  for (const uint8_t* item = metadata + 4; item != end; item = mfab::TlvNext(item), ++count) {
    if (end - item < 4 || mfab::TlvLength(item) > static_cast<size_t>(end - item - 4)) return SIZE_MAX;
  }
  return count;
}

// One allocation of the exact size, filled item by item.
std::unique_ptr<uint8_t[]> WriteHandWritten(const mfab::Message& reply, size_t& size) {
  const Bytes& metadataBytes = *reply.metadata;
  size = 5 * 8 + 4 + reply.payload.size() + 4 + metadataBytes.size();
  std::unique_ptr<uint8_t[]> wire(new uint8_t[size]);
  uint8_t* out = wire.get();
  PutUint(out, mfab::Message::kTagModuleId, reply.moduleId);
  PutUint(out, mfab::Message::kTagMessageType, reply.messageType);
  PutUint(out, mfab::Message::kTagCategory, reply.category);
  PutItem(out, mfab::Message::kTagPayload, reply.payload.data(), reply.payload.size());
  PutItem(out, mfab::Message::kTagMetadata, metadataBytes.data(), metadataBytes.size());
  PutUint(out, mfab::Message::kTagIsResponse, reply.isResponse ? 1 : 0);
  PutUint(out, mfab::Message::kTagSessionId, reply.sessionId);
  return wire;
}

// Writes the reply and reads it back by hand. kIntoVector adds what the codec's readers owe their
// callers: the whole list checked before any entry is read, and the entries handed out as an
// owning vector of the codec's own LoggingEntryView (one allocation, each entry constructed
// before it is filled). Without it, plain records in a fixed array.
template <bool kIntoVector>
void HandWrittenRoundTrip(benchmark::State& state) {
  const mfab::Message reply = SampleReply();
  size_t entriesRead = 0;
  for (auto _ : state) {
    size_t size = 0;
    const std::unique_ptr<uint8_t[]> wire = WriteHandWritten(reply, size);
    const uint8_t* metadata = ReadHandWrittenEnvelope(wire.get(), size);
    bool read = metadata != nullptr;
    size_t count = 0;
    if constexpr (kIntoVector) {
      const size_t items = read ? CountHandWrittenItems(metadata) : SIZE_MAX;
      read = items != SIZE_MAX;
      std::vector<mfab::LoggingEntryView> entries(read ? items : 0);
      read = read && ReadHandWrittenEntries<mfab::LoggingEntryView>(metadata, entries, count);
      benchmark::DoNotOptimize(entries.data());
    } else {
      std::array<PlainEntry, kMetadataEntries> entries;
      read = read && ReadHandWrittenEntries<PlainEntry>(metadata, entries, count);
      benchmark::DoNotOptimize(entries.data());
    }
    if (!read) {
      state.SkipWithError("the reply did not read back");
      break;
    }
    entriesRead = count;
  }
  state.counters["entries"] = static_cast<double>(entriesRead);
}

void BM_MessageRoundTripHandWritten(benchmark::State& state) { HandWrittenRoundTrip<false>(state); }
BENCHMARK(BM_MessageRoundTripHandWritten);

void BM_MessageRoundTripHandWrittenIntoVector(benchmark::State& state) {
  HandWrittenRoundTrip<true>(state);
}
BENCHMARK(BM_MessageRoundTripHandWrittenIntoVector);

// The baseline of the ratios: a memcpy of the bytes between two buffers aligned to a cache line
// (and not 4 KiB apart), its fastest case. Between buffers placed wherever the allocator puts
// them, the same copy of 5.9 KB took 31 to 51 ns from run to run.
void CopyAligned(benchmark::State& state, const Bytes& bytes) {
  constexpr size_t kLine = 64;
  const size_t rounded = (bytes.size() + kLine - 1) / kLine * kLine;
  // One block: the source, a gap of two lines, then the destination.
  const std::unique_ptr<uint8_t, decltype(&std::free)> block(
      static_cast<uint8_t*>(std::aligned_alloc(kLine, 2 * rounded + 2 * kLine)), &std::free);
  if (!block) {
    state.SkipWithError("no memory for the copy");
    return;
  }
  uint8_t* const source = block.get();
  uint8_t* const destination = source + rounded + 2 * kLine;
  std::memcpy(source, bytes.data(), bytes.size());
  for (auto _ : state) {
    std::memcpy(destination, source, bytes.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_MessageRoundTripMemcpy(benchmark::State& state) {
  CopyAligned(state, SampleReply().Serialize());
}
BENCHMARK(BM_MessageRoundTripMemcpy);

// 256 items of 124 value bytes: exactly 32 KiB.
Bytes ParseBuffer() {
  Bytes buffer;
  constexpr size_t kValueSize = kParseBufferSize / kParseItems - mfab::kTlvHeaderSize;
  for (size_t i = 0; i < kParseItems; ++i) {
    mfab::AppendTlv(buffer, static_cast<uint16_t>(0x7B00 + i), Bytes(kValueSize, 0xA5));
  }
  return buffer;
}

void BM_ParseTlv32K(benchmark::State& state) {
  const Bytes buffer = ParseBuffer();
  for (auto _ : state) {
    const mfab::TlvIndex index = mfab::ParseTlv(buffer);
    benchmark::DoNotOptimize(index.size());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buffer.size()));
}
BENCHMARK(BM_ParseTlv32K);

void BM_ParseTlv32KMemcpy(benchmark::State& state) { CopyAligned(state, ParseBuffer()); }
BENCHMARK(BM_ParseTlv32KMemcpy);

}  // namespace

BENCHMARK_MAIN();
