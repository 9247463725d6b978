#include "sim/applet/field_reader.h"

#include <algorithm>
#include <cstdio>

namespace kilnsim {
namespace {

std::string TagText(uint16_t tag) {
  char text[8];
  std::snprintf(text, sizeof(text), "0x%04X", tag);
  return text;
}

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

}  // namespace

std::vector<TlvItem> SplitTlv(std::span<const uint8_t> sequence, size_t maxItems,
                              uint16_t errorCode, std::string_view what) {
  std::vector<TlvItem> items;
  size_t offset = 0;
  while (offset < sequence.size()) {
    const size_t remaining = sequence.size() - offset;
    if (remaining < 4) {
      throw AppletError(errorCode, std::string(what) + ": truncated item header");
    }
    const uint16_t tag = Be16(sequence.data() + offset);
    const uint16_t length = Be16(sequence.data() + offset + 2);
    if (length > remaining - 4) {
      throw AppletError(errorCode, std::string(what) + ": item " + TagText(tag) +
                                       " runs past the end of its sequence");
    }
    if (items.size() == maxItems) {
      throw AppletError(errorCode,
                        std::string(what) + ": more than " + std::to_string(maxItems) + " items");
    }
    items.push_back({tag, sequence.subspan(offset + 4, length)});
    offset += 4 + length;
  }
  return items;
}

FieldReader::FieldReader(std::span<const uint8_t> sequence, std::string_view recordName,
                         uint16_t errorCode, std::initializer_list<uint16_t> allowedTags)
    : record(recordName), code(errorCode) {
  for (const TlvItem& item : SplitTlv(sequence, allowedTags.size() + 1, code, record)) {
    if (std::find(allowedTags.begin(), allowedTags.end(), item.tag) == allowedTags.end()) {
      Fail("unexpected item " + TagText(item.tag));
    }
    if (!fields.emplace(item.tag, item.value).second)
      Fail("item " + TagText(item.tag) + " repeated");
  }
}

void FieldReader::Fail(const std::string& text) const {
  throw AppletError(code, record + ": " + text);
}

std::span<const uint8_t> FieldReader::Find(uint16_t tag) const {
  auto it = fields.find(tag);
  if (it == fields.end()) Fail("item " + TagText(tag) + " missing");
  return it->second;
}

std::span<const uint8_t> FieldReader::Bytes(uint16_t tag) const { return Find(tag); }

std::span<const uint8_t> FieldReader::OptionalBytes(uint16_t tag) const {
  auto it = fields.find(tag);
  return it == fields.end() ? std::span<const uint8_t>() : it->second;
}

std::string FieldReader::Text(uint16_t tag, size_t maxLength, bool allowEmpty) const {
  const std::span<const uint8_t> value = Find(tag);
  if (value.size() > maxLength) {
    Fail("item " + TagText(tag) + " longer than " + std::to_string(maxLength) + " bytes");
  }
  if (value.empty() && !allowEmpty) Fail("item " + TagText(tag) + " is empty");
  return std::string(value.begin(), value.end());
}

uint32_t FieldReader::Uint(uint16_t tag) const {
  const std::span<const uint8_t> value = Find(tag);
  if (value.size() > 4) Fail("item " + TagText(tag) + " is not an integer");
  uint32_t result = 0;
  for (uint8_t byte : value) result = (result << 8) | byte;
  return result;
}

uint32_t FieldReader::OptionalUint(uint16_t tag, uint32_t fallback) const {
  return Has(tag) ? Uint(tag) : fallback;
}

bool FieldReader::OptionalFlag(uint16_t tag, bool fallback) const {
  if (!Has(tag)) return fallback;
  const uint32_t value = Uint(tag);
  if (value > 1) Fail("item " + TagText(tag) + " must be 0 or 1");
  return value == 1;
}

uint64_t FieldReader::Time(uint16_t tag) const {
  const std::span<const uint8_t> value = Find(tag);
  if (value.size() != 8) Fail("item " + TagText(tag) + " must be 8 bytes");
  return GetBe64(value.data());
}

std::vector<std::span<const uint8_t>> ListElements(std::span<const uint8_t> container,
                                                   uint16_t elementTag, size_t maxElements,
                                                   uint16_t errorCode, std::string_view what) {
  std::vector<std::span<const uint8_t>> elements;
  for (const TlvItem& item : SplitTlv(container, maxElements, errorCode, what)) {
    if (item.tag != elementTag) {
      throw AppletError(errorCode, std::string(what) + ": unexpected item " + TagText(item.tag));
    }
    elements.push_back(item.value);
  }
  return elements;
}

bool IsIdentifier(std::string_view text) {
  if (text.empty() || text.size() > 64) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
  });
}

bool IsSid(std::string_view text) {
  if (text.size() > 184 || text.substr(0, 4) != "S-1-") return false;
  bool digitSeen = false;
  for (char c : text.substr(4)) {
    if (c >= '0' && c <= '9') {
      digitSeen = true;
    } else if (c == '-' && digitSeen) {
      digitSeen = false;
    } else {
      return false;
    }
  }
  return digitSeen;
}

bool IsPrintable(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= 0x20 && byte != 0x7F);
  });
}

void PutBe32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void PutBe64(std::vector<uint8_t>& out, uint64_t value) {
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t GetBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint64_t GetBe64(const uint8_t* p) { return (uint64_t{GetBe32(p)} << 32) | GetBe32(p + 4); }

}  // namespace kilnsim
