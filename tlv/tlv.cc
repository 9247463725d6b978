#include "tlv/tlv.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace mfab {
namespace {

uint16_t ReadBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

}  // namespace

TlvIndex::TlvIndex(const TlvIndex& other) { CopyFrom(other); }

TlvIndex& TlvIndex::operator=(const TlvIndex& other) {
  if (this != &other) CopyFrom(other);
  return *this;
}

TlvIndex::TlvIndex(TlvIndex&& other) noexcept { *this = std::move(other); }

TlvIndex& TlvIndex::operator=(TlvIndex&& other) noexcept {
  if (this == &other) return *this;
  if (other.heapEntries) {
    heapEntries = std::move(other.heapEntries);
  } else {
    heapEntries.reset();
    std::copy_n(other.inlineEntries, other.itemCount, inlineEntries);
  }
  itemCount = other.itemCount;
  capacity = other.capacity;
  ascending = other.ascending;
  mayRepeat = other.mayRepeat;
  other.itemCount = 0;
  other.capacity = kInlineItems;
  other.ascending = true;
  other.mayRepeat = false;
  return *this;
}

void TlvIndex::CopyFrom(const TlvIndex& other) {
  if (other.itemCount > kInlineItems) {
    heapEntries = std::make_unique_for_overwrite<Entry[]>(other.itemCount);
    capacity = other.itemCount;
  } else {
    heapEntries.reset();
    capacity = kInlineItems;
  }
  std::copy_n(other.Data(), other.itemCount, Data());
  itemCount = other.itemCount;
  ascending = other.ascending;
  mayRepeat = other.mayRepeat;
}

void TlvIndex::Grow() {
  const size_t grown = capacity * 2;
  auto entries = std::make_unique_for_overwrite<Entry[]>(grown);
  std::copy_n(Data(), itemCount, entries.get());
  heapEntries = std::move(entries);
  capacity = grown;
}

void TlvIndex::Finish() noexcept {
  mayRepeat = false;
  if (ascending) return;
  // One bit per tag modulo 64: a collision means only that a tag may repeat, which is enough
  // to fall back to searching from the start.
  uint64_t seen = 0;
  for (const Entry& entry : Items()) {
    const uint64_t bit = uint64_t{1} << (entry.tag & 63);
    if ((seen & bit) != 0) {
      mayRepeat = true;
      return;
    }
    seen |= bit;
  }
}

const uint8_t* TlvIndex::Find(uint16_t tag, size_t& hint) const noexcept {
  if (mayRepeat || hint >= itemCount) return Find(tag);
  const Entry* entries = Data();
  for (size_t i = hint; i < itemCount; ++i) {
    if (entries[i].tag == tag) {
      hint = i + 1;
      return entries[i].item;
    }
  }
  for (size_t i = 0; i < hint; ++i) {
    if (entries[i].tag == tag) {
      hint = i + 1;
      return entries[i].item;
    }
  }
  return nullptr;
}

size_t TlvIndex::FirstPosition(uint16_t tag) const noexcept {
  const Entry* entries = Data();
  // Sequences written in tag order are bisected once they are long enough to gain from it.
  constexpr size_t kBisectFrom = 32;
  if (ascending && itemCount >= kBisectFrom) {
    const Entry* found =
        std::lower_bound(entries, entries + itemCount, tag,
                         [](const Entry& entry, uint16_t wanted) { return entry.tag < wanted; });
    return found != entries + itemCount && found->tag == tag ? static_cast<size_t>(found - entries)
                                                             : itemCount;
  }
  for (size_t i = 0; i < itemCount; ++i) {
    if (entries[i].tag == tag) return i;
  }
  return itemCount;
}

const uint8_t* TlvIndex::Find(uint16_t tag) const noexcept {
  const size_t position = FirstPosition(tag);
  return position == itemCount ? nullptr : Data()[position].item;
}

const uint8_t* TlvIndex::at(uint16_t tag) const {
  const uint8_t* item = Find(tag);
  if (item == nullptr) throw std::out_of_range("TlvIndex::at");
  return item;
}

size_t TlvIndex::size() const {
  if (ascending) return itemCount;
  std::vector<uint16_t> tags(itemCount);
  std::transform(Data(), Data() + itemCount, tags.begin(), [](const Entry& e) { return e.tag; });
  std::sort(tags.begin(), tags.end());
  return static_cast<size_t>(std::unique(tags.begin(), tags.end()) - tags.begin());
}

TlvIndex ParseTlv(const uint8_t* begin, const uint8_t* end) {
  TlvIndex index;
  // The walk keeps the index's state in locals and stores it once at the end.
  TlvIndex::Entry* entries = index.inlineEntries;
  size_t count = 0;
  bool ascending = true;
  int previousTag = -1;
  const uint8_t* cursor = begin;
  while (cursor != end) {
    const size_t remaining = static_cast<size_t>(end - cursor);
    if (remaining < kTlvHeaderSize) {
      throw TlvException("TLV buffer ends in a fragment of " + std::to_string(remaining) +
                         " bytes, shorter than an item header.");
    }
    const uint16_t tag = ReadBe16(cursor);
    const uint16_t length = ReadBe16(cursor + 2);
    if (length > remaining - kTlvHeaderSize) {
      char text[128];
      std::snprintf(text, sizeof(text),
                    "TLV item (0x%04x) declares %u value bytes but only %zu remain.", tag, length,
                    remaining - kTlvHeaderSize);
      throw TlvException(text);
    }
    if (count == index.capacity) {
      index.itemCount = count;
      index.Grow();
      entries = index.heapEntries.get();
    }
    ascending = ascending && tag > previousTag;
    previousTag = tag;
    entries[count++] = TlvIndex::Entry{cursor, tag};
    cursor += kTlvHeaderSize + length;
  }
  index.itemCount = count;
  index.ascending = ascending;
  index.Finish();
  return index;
}

void ThrowTlvNotFound(uint16_t tag) {
  char text[48];
  std::snprintf(text, sizeof(text), "Requested TLV (0x%04x) not found.", tag);
  throw TlvException(text);
}

const uint8_t* GetTlv(const TlvIndex& index, uint16_t tag) {
  const uint8_t* item = index.Find(tag);
  if (item == nullptr) ThrowTlvNotFound(tag);
  return item;
}

void ThrowNotAnInteger() { throw TlvException("Not an integer value."); }
void ThrowNotATime() { throw TlvException("Not an time value."); }

std::string TlvToString(const uint8_t* item) {
  return std::string(reinterpret_cast<const char*>(TlvValueBegin(item)), TlvLength(item));
}

Bytes TlvToBytes(const uint8_t* item) { return Bytes(TlvValueBegin(item), TlvValueEnd(item)); }

uint16_t CheckedTlvLength(size_t size) {
  if (size > kMaxTlvLength) {
    throw std::overflow_error("Error converting value " + std::to_string(size) +
                              " to unsigned short (max value: " + std::to_string(kMaxTlvLength) +
                              ").");
  }
  return static_cast<uint16_t>(size);
}

void AppendTlv(Bytes& out, uint16_t tag, std::span<const uint8_t> value) {
  const uint16_t length = CheckedTlvLength(value.size());
  AppendTlvHeader(out, tag, length);
  out.insert(out.end(), value.begin(), value.end());
}

void AppendTlvHeader(Bytes& out, uint16_t tag, uint16_t length) {
  uint8_t header[kTlvHeaderSize];
  PutTlvHeader(header, tag, length);
  out.insert(out.end(), header, header + kTlvHeaderSize);
}

void AppendTlv(Bytes& out, uint16_t tag, std::string_view value) {
  AppendTlv(out, tag,
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(value.data()), value.size()));
}

void AppendTlvInt(Bytes& out, uint16_t tag, int32_t value) {
  uint8_t item[kTlvHeaderSize + 4];
  PutTlvUint(item, tag, static_cast<uint32_t>(value));
  out.insert(out.end(), item, item + sizeof(item));
}

void AppendTlvTime(Bytes& out, uint16_t tag, uint64_t value) {
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * (7 - i)));
  AppendTlv(out, tag, std::span<const uint8_t>(bytes, 8));
}

}  // namespace mfab
