#include "tlv/tlv.h"

#include <cstdio>

namespace mfab {
namespace {

uint16_t ReadBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void PutBe16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

}  // namespace

TlvIndex ParseTlv(const uint8_t* begin, const uint8_t* end) {
  TlvIndex index;
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
    // Writers emit tags mostly in ascending order: append those without a search. try_emplace
    // keeps the first occurrence of a repeated tag without building a node.
    if (index.empty() || tag > index.rbegin()->first) {
      index.emplace_hint(index.end(), tag, cursor);
    } else {
      index.try_emplace(tag, cursor);
    }
    cursor += kTlvHeaderSize + length;
  }
  return index;
}

const uint8_t* GetTlv(const TlvIndex& index, uint16_t tag) {
  try {
    return index.at(tag);
  } catch (const std::out_of_range&) {
    char text[48];
    std::snprintf(text, sizeof(text), "Requested TLV (0x%04x) not found.", tag);
    throw TlvException(text);
  }
}

uint16_t TlvTag(const uint8_t* item) { return ReadBe16(item); }
uint16_t TlvLength(const uint8_t* item) { return ReadBe16(item + 2); }

int32_t TlvToInt(const uint8_t* item) {
  const uint16_t length = TlvLength(item);
  if (length > 4) throw TlvException("Not an integer value.");
  uint8_t buffer[4] = {0, 0, 0, 0};
  const uint8_t* value = TlvValueBegin(item);
  for (uint16_t i = 0; i < length; ++i) buffer[4 - length + i] = value[i];
  const uint32_t v = (uint32_t{buffer[0]} << 24) | (uint32_t{buffer[1]} << 16) |
                     (uint32_t{buffer[2]} << 8) | uint32_t{buffer[3]};
  return static_cast<int32_t>(v);
}

uint64_t TlvToTime(const uint8_t* item) {
  if (TlvLength(item) != 8) throw TlvException("Not an time value.");
  const uint8_t* value = TlvValueBegin(item);
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | value[i];
  return v;
}

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
  out.reserve(out.size() + kTlvHeaderSize + length);
  PutBe16(out, tag);
  PutBe16(out, length);
  out.insert(out.end(), value.begin(), value.end());
}

void AppendTlv(Bytes& out, uint16_t tag, std::string_view value) {
  AppendTlv(out, tag,
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(value.data()), value.size()));
}

void AppendTlvInt(Bytes& out, uint16_t tag, int32_t value) {
  const uint32_t v = static_cast<uint32_t>(value);
  const uint8_t bytes[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  AppendTlv(out, tag, std::span<const uint8_t>(bytes, 4));
}

void AppendTlvTime(Bytes& out, uint16_t tag, uint64_t value) {
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * (7 - i)));
  AppendTlv(out, tag, std::span<const uint8_t>(bytes, 8));
}

}  // namespace mfab
