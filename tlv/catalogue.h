#pragma once

// The message catalogue as data: every message class by name, with a factory, its field table and
// the message types whose payload it is. Used by tools that print messages, by the fuzz target and
// by the table-driven tests; the engine itself uses the classes directly.

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "tlv/record.h"
#include "tlv/tlv.h"

namespace mfab {

struct CatalogueEntry {
  const char* name;  // qualified C++ name, e.g. "mfab::SaveRequest"
  std::unique_ptr<Serializable> (*create)();
  // The fields of an object made by create (of this entry only).
  std::vector<record::FieldValue> (*describe)(const Serializable& object);
  std::vector<record::FieldInfo> (*schema)();
};

// Every class, elements and nested records included, in a fixed order.
std::span<const CatalogueEntry> MessageCatalogue();

// By qualified name, or by the name without namespaces when that is unique; null when unknown.
const CatalogueEntry* FindMessageClass(std::string_view name);

// The payload class of a message type, or null for types whose payload the engine does not read.
const CatalogueEntry* PayloadClassOf(uint32_t messageType);

// The message types whose payload is this class, in ascending order.
std::vector<uint32_t> MessageTypesOf(const CatalogueEntry& entry);

}  // namespace mfab
