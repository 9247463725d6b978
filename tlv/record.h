#pragma once

// Field tables: every message class declares its fields once, as a table of (tag, kind, name,
// presence) entries bound to its data members, and that table drives Serialize, Deserialize and the
// field-by-name printing of tools. Kinds follow the member type:
//   int32_t, uint32_t, uint16_t, uint8_t, bool  integer item, always written as 4 bytes; narrower
//                                               members are truncated on reading
//   uint64_t                                    time item, exactly 8 bytes
//   std::string                                 string item, raw bytes
//   Bytes                                       byte item, raw bytes
//   a Serializable class                        nested item holding the object's sequence
//   std::vector of a Serializable class         list (List: in a container item; TopLevelList:
//                                               element items directly in the sequence)
// Reading indexes the sequence once and takes each field in table order: a required tag that is
// absent throws TlvException "Requested TLV (0xtttt) not found."; an optional tag that is absent
// leaves the member as it was. Lists whose element tag is absent read as empty.

#include <concepts>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "tlv/tlv.h"

namespace mfab::record {

enum class Kind : uint8_t { kInt, kTime, kString, kBytes, kNested, kList, kTopLevelList };
enum class Presence : uint8_t { kRequired, kOptional };
// kWriteOnly: written by Serialize, never read by Deserialize.
enum class Access : uint8_t { kReadWrite, kWriteOnly };

struct FieldInfo;
using SchemaFunction = std::vector<FieldInfo> (*)();

// The type-free part of a field: enough to build or check a wire buffer without the class.
struct FieldInfo {
  uint16_t tag;         // the field's item; for a top-level list, the element tag
  uint16_t elementTag;  // lists only: the tag of every element item
  const char* name;
  Kind kind;
  Presence presence;
  Access access;
  SchemaFunction elementSchema;  // nested objects and lists: the element's fields; else null
};

// One field of an object, rendered for people.
struct FieldValue {
  uint16_t tag = 0;
  std::string name;
  Kind kind = Kind::kInt;
  Access access = Access::kReadWrite;
  std::string text;                               // scalars; a count for lists
  std::vector<std::vector<FieldValue>> elements;  // nested object: one; list: one per element
};

template <class C>
struct Field : FieldInfo {
  void (*write)(const C& object, const FieldInfo& info, Bytes& out);
  // Reads the field from an indexed sequence ending at end; honours presence.
  void (*read)(C& object, const FieldInfo& info, const TlvIndex& index, const uint8_t* end);
  void (*describe)(const C& object, const FieldInfo& info, FieldValue& value);
};

// Renderings shared by every field.
std::string IntText(int64_t value, unsigned width);
std::string TimeText(uint64_t value);
std::string StringText(std::string_view value);
std::string BytesText(std::span<const uint8_t> value);

template <class C>
std::vector<FieldValue> Describe(const C& object, std::span<const Field<C>> fields) {
  std::vector<FieldValue> values;
  values.reserve(fields.size());
  for (const Field<C>& field : fields) {
    FieldValue& value = values.emplace_back();
    value.tag = field.tag;
    value.name = field.name;
    value.kind = field.kind;
    value.access = field.access;
    field.describe(object, field, value);
  }
  return values;
}

template <class C>
void Read(C& object, std::span<const Field<C>> fields, const uint8_t* begin, const uint8_t* end) {
  const TlvIndex index = ParseTlv(begin, end);
  for (const Field<C>& field : fields) {
    if (field.access == Access::kReadWrite) field.read(object, field, index, end);
  }
}

template <class C>
Bytes Write(const C& object, std::span<const Field<C>> fields) {
  Bytes out;
  for (const Field<C>& field : fields) field.write(object, field, out);
  return out;
}

// The type-free copy of a class's table (slices off the accessors on purpose).
template <class C>
std::vector<FieldInfo> Schema() {
  std::vector<FieldInfo> infos;
  for (const Field<C>& field : C::Fields()) infos.push_back(static_cast<const FieldInfo&>(field));
  return infos;
}

namespace detail {

template <class>
struct MemberTraits;
template <class C, class T>
struct MemberTraits<T C::*> {
  using Owner = C;
  using Type = T;
};
template <auto M>
using OwnerOf = typename MemberTraits<decltype(M)>::Owner;
template <auto M>
using TypeOf = typename MemberTraits<decltype(M)>::Type;

template <class T>
concept Record = std::derived_from<T, Serializable> && requires {
  T::Fields();
};

template <class T>
concept IntegerMember = std::same_as<T, int32_t> || std::same_as<T, uint32_t> ||
    std::same_as<T, uint16_t> || std::same_as<T, uint8_t> || std::same_as<T, bool>;

template <class T>
concept ScalarMember = IntegerMember<T> || std::same_as<T, uint64_t> ||
    std::same_as<T, std::string> || std::same_as<T, Bytes>;

template <class T>
constexpr Kind ScalarKind() {
  if constexpr (IntegerMember<T>) return Kind::kInt;
  if constexpr (std::same_as<T, uint64_t>) return Kind::kTime;
  if constexpr (std::same_as<T, std::string>) return Kind::kString;
  return Kind::kBytes;
}

template <class T>
void WriteScalar(Bytes& out, uint16_t tag, const T& value) {
  if constexpr (std::same_as<T, bool>) {
    AppendTlvBool(out, tag, value);
  } else if constexpr (std::same_as<T, int32_t>) {
    AppendTlvInt(out, tag, value);
  } else if constexpr (IntegerMember<T>) {
    AppendTlvUint(out, tag, value);  // narrower unsigned members zero-extend
  } else if constexpr (std::same_as<T, uint64_t>) {
    AppendTlvTime(out, tag, value);
  } else {
    AppendTlv(out, tag, value);
  }
}

template <class T>
T ReadScalar(const uint8_t* item) {
  if constexpr (std::same_as<T, bool>) {
    return TlvToInt(item) != 0;
  } else if constexpr (IntegerMember<T>) {
    return static_cast<T>(TlvToInt(item));  // truncates to the member's width
  } else if constexpr (std::same_as<T, uint64_t>) {
    return TlvToTime(item);
  } else if constexpr (std::same_as<T, std::string>) {
    return TlvToString(item);
  } else {
    return TlvToBytes(item);
  }
}

template <class T>
std::string ScalarText(const T& value) {
  if constexpr (std::same_as<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::same_as<T, int32_t>) {
    return IntText(value, 8);
  } else if constexpr (IntegerMember<T>) {
    return IntText(static_cast<int64_t>(value), sizeof(T) * 2);
  } else if constexpr (std::same_as<T, uint64_t>) {
    return TimeText(value);
  } else if constexpr (std::same_as<T, std::string>) {
    return StringText(value);
  } else {
    return BytesText(value);
  }
}

// Finds the field's item; null when an optional field is absent.
inline const uint8_t* FindItem(const FieldInfo& info, const TlvIndex& index) {
  if (info.presence == Presence::kOptional && !HasTlv(index, info.tag)) return nullptr;
  return GetTlv(index, info.tag);
}

}  // namespace detail

// A scalar or nested-object field bound to member M.
template <auto M>
constexpr Field<detail::OwnerOf<M>> Item(uint16_t tag, const char* name,
                                         Presence presence = Presence::kRequired,
                                         Access access = Access::kReadWrite) {
  using C = detail::OwnerOf<M>;
  using T = detail::TypeOf<M>;
  if constexpr (detail::ScalarMember<T>) {
    return Field<C>{
        {tag, 0, name, detail::ScalarKind<T>(), presence, access, nullptr},
        [](const C& o, const FieldInfo& i, Bytes& out) { detail::WriteScalar(out, i.tag, o.*M); },
        [](C& o, const FieldInfo& i, const TlvIndex& index, const uint8_t*) {
          if (const uint8_t* item = detail::FindItem(i, index)) o.*M = detail::ReadScalar<T>(item);
        },
        [](const C& o, const FieldInfo&, FieldValue& v) { v.text = detail::ScalarText(o.*M); }};
  } else {
    static_assert(detail::Record<T>, "a nested member must be a message class with a field table");
    return Field<C>{{tag, 0, name, Kind::kNested, presence, access, &Schema<T>},
                    [](const C& o, const FieldInfo& i, Bytes& out) {
                      AppendTlv(out, i.tag, (o.*M).Serialize());
                    },
                    [](C& o, const FieldInfo& i, const TlvIndex& index, const uint8_t*) {
                      if (const uint8_t* item = detail::FindItem(i, index)) {
                        T fresh;
                        fresh.Deserialize(TlvValueBegin(item), TlvValueEnd(item));
                        o.*M = std::move(fresh);
                      }
                    },
                    [](const C& o, const FieldInfo&, FieldValue& v) {
                      v.elements.push_back(Describe<T>(o.*M, T::Fields()));
                    }};
  }
}

// A list in a container item: one element item per object.
template <auto M>
constexpr Field<detail::OwnerOf<M>> List(uint16_t containerTag, uint16_t elementTag,
                                         const char* name,
                                         Presence presence = Presence::kRequired) {
  using C = detail::OwnerOf<M>;
  using T = typename detail::TypeOf<M>::value_type;
  static_assert(detail::Record<T>, "list elements must be message classes with a field table");
  return Field<C>{
      {containerTag, elementTag, name, Kind::kList, presence, Access::kReadWrite, &Schema<T>},
      [](const C& o, const FieldInfo& i, Bytes& out) {
        AppendTlvList(out, i.tag, i.elementTag, o.*M);
      },
      [](C& o, const FieldInfo& i, const TlvIndex& index, const uint8_t*) {
        if (const uint8_t* item = detail::FindItem(i, index)) {
          o.*M = ReadTlvList<T>(item, i.elementTag);
        }
      },
      [](const C& o, const FieldInfo&, FieldValue& v) {
        v.text = std::to_string((o.*M).size()) + " element(s)";
        for (const T& element : o.*M) v.elements.push_back(Describe<T>(element, T::Fields()));
      }};
}

// A list whose element items stand directly in the object's sequence. Reading takes every item
// from the first element-tag item to the end of the sequence, whatever its tag.
template <auto M>
constexpr Field<detail::OwnerOf<M>> TopLevelList(uint16_t elementTag, const char* name) {
  using C = detail::OwnerOf<M>;
  using T = typename detail::TypeOf<M>::value_type;
  static_assert(detail::Record<T>, "list elements must be message classes with a field table");
  return Field<C>{{elementTag, elementTag, name, Kind::kTopLevelList, Presence::kOptional,
                   Access::kReadWrite, &Schema<T>},
                  [](const C& o, const FieldInfo& i, Bytes& out) {
                    AppendTlvListElements(out, i.elementTag, o.*M);
                  },
                  [](C& o, const FieldInfo& i, const TlvIndex& index, const uint8_t* end) {
                    // The index was built over the whole validated sequence, so walking to end
                    // stays inside it.
                    std::vector<T> elements;
                    auto first = index.find(i.elementTag);
                    if (first != index.end()) {
                      for (const uint8_t* item = first->second; item != end; item = TlvNext(item)) {
                        T element;
                        element.Deserialize(TlvValueBegin(item), TlvValueEnd(item));
                        elements.push_back(std::move(element));
                      }
                    }
                    o.*M = std::move(elements);
                  },
                  [](const C& o, const FieldInfo&, FieldValue& v) {
                    v.text = std::to_string((o.*M).size()) + " element(s)";
                    for (const T& element : o.*M)
                      v.elements.push_back(Describe<T>(element, T::Fields()));
                  }};
}

}  // namespace mfab::record
