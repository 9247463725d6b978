// TLV codec costs, each beside a memcpy of the same bytes so the ratio can be read from one run.

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

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

void BM_MessageRoundTripMemcpy(benchmark::State& state) {
  const Bytes source = SampleReply().Serialize();
  Bytes destination(source.size());
  for (auto _ : state) {
    std::memcpy(destination.data(), source.data(), source.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * source.size()));
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

void BM_ParseTlv32KMemcpy(benchmark::State& state) {
  const Bytes source = ParseBuffer();
  Bytes destination(source.size());
  for (auto _ : state) {
    std::memcpy(destination.data(), source.data(), source.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * source.size()));
}
BENCHMARK(BM_ParseTlv32KMemcpy);

}  // namespace

BENCHMARK_MAIN();
