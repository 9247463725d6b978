#include "storage/mirror_records.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <utility>

#include "common/config_keys.h"
#include "common/exceptions.h"
#include "log/logger.h"
#include "platform/account_names.h"
#include "platform/registry.h"
#include "platform/registry_path.h"
#include "tlv/applet_tags.h"

namespace AuthenticateDataMirroring {
namespace {

namespace tag = mfab::applet_tag;
using mfab::kLogError;
using mfab::kLogInfo;
using platform::RegistryErrc;
using platform::RegistryError;
using platform::RegistryKey;
using platform::RegistryTransaction;
using platform::RegValue;
namespace reg_access = platform::reg_access;

constexpr const char* kSetPrefix = "Set";
constexpr const char* kParametersKey = "Parameters";

mfab::AuthenticateLogger& Log() { return mfab::AuthenticateLoggerService::Instance(); }

// The entry and exit records of a record's registry work.
class FlowRecords {
 public:
  explicit FlowRecords(const char* what) : name(what) {
    KS_LOG(Log(), kLogInfo, "FLOW-START", "%s", name);
  }
  void Done() { KS_LOG(Log(), kLogInfo, "FLOW-END", "%s", name); }

 private:
  const char* name;
};

// ---- Decoding the applet's records. -------------------------------------------------------

[[noreturn]] void Malformed(const std::string& what) {
  throw mfab::GeneralException("Malformed mirror data from the applet: " + what);
}

// A key name the mirror can hold as one key: 1 to 255 bytes, no backslash, no NUL.
void CheckKeyName(const std::string& name, const char* what) {
  if (name.empty() || name.size() > platform::kMaxKeyNameLength ||
      name.find_first_of(std::string("\\\0", 2)) != std::string::npos) {
    Malformed(std::string(what) + " '" + name.substr(0, 80) + "' cannot name a registry key");
  }
}

// A value name (not the default value) and a text without NULs.
void CheckNameValue(const NameValue& value, const char* what) {
  if (value.name.empty() || value.name.size() > platform::kMaxValueNameLength ||
      value.name.find('\0') != std::string::npos || value.value.find('\0') != std::string::npos) {
    Malformed(std::string(what) + " '" + value.name.substr(0, 80) + "' cannot be a registry value");
  }
}

// Registry names compare without case: two that fold alike would land in one key or value.
class UniqueNames {
 public:
  explicit UniqueNames(const char* whatNamed) : what(whatNamed) {}
  void Add(const std::string& name) {
    if (!folded.insert(platform::FoldRegistryName(name)).second) {
      Malformed(std::string(what) + " '" + name.substr(0, 80) + "' repeated (names ignore case)");
    }
  }

 private:
  const char* what;
  std::set<std::string> folded;
};

// The items of one TLV sequence by tag (first occurrence), with the reads the records need.
class Fields {
 public:
  Fields(std::span<const uint8_t> bytes, const char* whatRead) : what(whatRead) {
    try {
      index = mfab::ParseTlv(bytes);
    } catch (const mfab::TlvException& e) {
      Malformed(std::string(what) + ": " + e.what());
    }
  }

  bool Has(uint16_t tag) const { return mfab::HasTlv(index, tag); }
  std::string Text(uint16_t tag) const { return mfab::TlvToString(Item(tag)); }
  std::span<const uint8_t> Value(uint16_t tag) const { return mfab::TlvValue(Item(tag)); }
  uint32_t Number(uint16_t tag) const {
    try {
      return static_cast<uint32_t>(mfab::TlvToInt(Item(tag)));
    } catch (const mfab::TlvException& e) {
      Malformed(std::string(what) + ": " + e.what());
    }
  }
  uint32_t OptionalNumber(uint16_t tag) const { return Has(tag) ? Number(tag) : 0; }

 private:
  const uint8_t* Item(uint16_t tag) const {
    const uint8_t* item = index.Find(tag);
    if (item == nullptr) {
      char hex[8];
      std::snprintf(hex, sizeof(hex), "0x%04x", tag);
      Malformed(std::string(what) + " lacks " + hex);
    }
    return item;
  }

  const char* what;
  mfab::TlvIndex index;
};

// The values of every item with elementTag in a sequence, in order; other tags are skipped.
std::vector<std::span<const uint8_t>> Elements(std::span<const uint8_t> bytes, uint16_t elementTag,
                                               const char* what) {
  std::vector<std::span<const uint8_t>> elements;
  try {
    mfab::ParseTlv(bytes);  // validates the tiling before the walk
  } catch (const mfab::TlvException& e) {
    Malformed(std::string(what) + ": " + e.what());
  }
  const uint8_t* end = bytes.data() + bytes.size();
  for (const uint8_t* item = bytes.data(); item != end; item = mfab::TlvNext(item)) {
    if (mfab::TlvTag(item) == elementTag) elements.push_back(mfab::TlvValue(item));
  }
  return elements;
}

NameValues DecodeNameValues(std::span<const uint8_t> container, const char* what) {
  NameValues values;
  UniqueNames names(what);
  for (std::span<const uint8_t> element : Elements(container, tag::kNameValue, what)) {
    const Fields fields(element, what);
    NameValue value{fields.Text(tag::kName), fields.Text(tag::kValue)};
    CheckNameValue(value, what);
    names.Add(value.name);
    values.push_back(std::move(value));
  }
  return values;
}

// ---- Registry access. ------------------------------------------------------------------------

[[noreturn]] void ReadFailed(const RegistryError& e) {
  KS_LOG(Log(), kLogError, "FLOW", "Error reading from registry (%d)", e.code().value());
  throw mfab::ReadMirrorDataException("Error reading from registry");
}

[[noreturn]] void WriteFailed(const std::string& path, const RegistryError& e) {
  KS_LOG(Log(), kLogError, "FLOW", "Error writing to registry (%d): %s", e.code().value(),
         path.c_str());
  throw mfab::WriteMirrorDataException("Couldn't write " + path + " (" + e.what() + ")");
}

// Reads under one path; every store failure becomes ReadMirrorDataException.
class Reader {
 public:
  Reader(platform::Registry& registryToUse, RegistryTransaction* tx)
      : registry(registryToUse), transaction(tx) {}

  template <typename Body>
  void Run(Body body) {
    try {
      body();
    } catch (const RegistryError& e) {
      ReadFailed(e);
    }
  }

  std::unique_ptr<RegistryKey> Open(const std::string& path) {
    return registry.OpenKey(path, reg_access::kRead, transaction);
  }

  static std::vector<std::string> Subkeys(RegistryKey& key) {
    std::vector<std::string> names;
    for (uint32_t i = 0;; ++i) {
      std::optional<std::string> name = key.EnumKey(i);
      if (!name) return names;
      names.push_back(std::move(*name));
    }
  }

  static std::vector<std::string> ValueNames(RegistryKey& key) {
    std::vector<std::string> names;
    for (uint32_t i = 0;; ++i) {
      std::optional<std::string> name = key.EnumValue(i);
      if (!name) return names;
      names.push_back(std::move(*name));
    }
  }

  static NameValues StringValues(RegistryKey& key) {
    NameValues values;
    for (const std::string& name : ValueNames(key)) {
      values.push_back({name, Required(key, name).AsString()});
    }
    return values;
  }

  // A value the record needs; its absence is a failed read as well.
  static RegValue Required(RegistryKey& key, const std::string& name) {
    std::optional<RegValue> value = key.QueryValue(name);
    if (!value) throw RegistryError(RegistryErrc::kNotFound, name + " is missing");
    return *value;
  }

 private:
  platform::Registry& registry;
  RegistryTransaction* transaction;
};

// Writes; every store failure becomes WriteMirrorDataException naming the key.
class Writer {
 public:
  Writer(platform::Registry& registryToUse, RegistryTransaction* tx)
      : registry(registryToUse), transaction(tx) {}

  std::unique_ptr<RegistryKey> Create(const std::string& path) {
    try {
      return registry.CreateKey(path, reg_access::kWrite | reg_access::kEnumerateSubKeys,
                                transaction);
    } catch (const RegistryError& e) {
      WriteFailed(path, e);
    }
  }

  void Set(RegistryKey& key, const std::string& name, const RegValue& value) {
    try {
      key.SetValue(name, value);
    } catch (const RegistryError& e) {
      WriteFailed(key.Path() + "\\" + name, e);
    }
  }

  void SetStrings(RegistryKey& key, const NameValues& values) {
    for (const NameValue& value : values) Set(key, value.name, RegValue::String(value.value));
  }

  // Deletes a tree; an absent one is fine, any other failure is not.
  void DeleteTree(const std::string& path) {
    try {
      registry.DeleteTree(path, transaction);
    } catch (const RegistryError& e) {
      if (e.code() != RegistryErrc::kNotFound) WriteFailed(path, e);
    }
  }

  // Deletes a key only when it has no subkeys; failures are ignored, as the layout allows.
  void DeleteLeafQuietly(const std::string& path) {
    try {
      registry.DeleteKey(path, transaction);
    } catch (const RegistryError&) {
    }
  }

  std::vector<std::string> SubkeysOf(const std::string& path) {
    try {
      std::unique_ptr<RegistryKey> key = registry.OpenKey(path, reg_access::kRead, transaction);
      return key ? Reader::Subkeys(*key) : std::vector<std::string>{};
    } catch (const RegistryError& e) {
      WriteFailed(path, e);
    }
  }

 private:
  platform::Registry& registry;
  RegistryTransaction* transaction;
};

std::string Child(const std::string& parent, const std::string& name) {
  return parent + "\\" + name;
}

// "Set<n>" with n a decimal from 1; nullopt for any other name.
std::optional<uint32_t> SetNumber(const std::string& name) {
  if (name.size() <= 3 || name.size() > 12 || platform::FoldRegistryName(name.substr(0, 3)) != "set" ||
      name.find_first_not_of("0123456789", 3) != std::string::npos) {
    return std::nullopt;
  }
  const uint64_t number = std::stoull(name.substr(3));
  if (number == 0 || number > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(number);
}

uint32_t Flag(bool value) { return value ? 1 : 0; }

}  // namespace

std::string MirrorPath(const std::string& relative) {
  return relative.empty() ? std::string(keystone::kDataMirrorKey)
                          : std::string(keystone::kDataMirrorKey) + "\\" + relative;
}

// ---- PolicyFactors. ------------------------------------------------------------------------

PolicyFactors PolicyFactors::Decode(std::span<const uint8_t> elements) {
  PolicyFactors result;
  UniqueNames ids("factor id");
  for (std::span<const uint8_t> element : Elements(elements, tag::kFactor, "policy factors")) {
    const Fields fields(element, "policy factor");
    const std::string id = fields.Text(tag::kFactorId);
    CheckKeyName(id, "factor id");
    ids.Add(id);
    Factor factor;
    factor.defName = fields.Text(tag::kFactorName);
    if (factor.defName.find('\0') != std::string::npos) Malformed("factor " + id + " name");
    factor.type = fields.Number(tag::kFactorType);
    factor.isContinuous = fields.OptionalNumber(tag::kIsContinuous) != 0;
    factor.isUi = fields.OptionalNumber(tag::kIsUi) != 0;
    factor.isHardened = fields.OptionalNumber(tag::kIsHardened) != 0;
    factor.isSupported = fields.OptionalNumber(tag::kIsSupported) != 0;
    factor.timeoutSuccess = fields.OptionalNumber(tag::kTimeoutSuccess);
    factor.timeoutUnsuccessful = fields.OptionalNumber(tag::kTimeoutUnsuccessful);
    if (fields.Has(tag::kNameValues)) {
      factor.parameters = DecodeNameValues(fields.Value(tag::kNameValues), "factor parameter");
    }
    result.factors.emplace(id, std::move(factor));
  }
  return result;
}

void PolicyFactors::ReadFromRegistry(platform::Registry& registry,
                                     RegistryTransaction* transaction) {
  FlowRecords flow("PolicyFactors::ReadFromRegistry");
  factors.clear();
  Reader reader(registry, transaction);
  reader.Run([&] {
    const std::string root = MirrorPath(kFactorsKey);
    std::unique_ptr<RegistryKey> key = reader.Open(root);
    if (!key) return;
    for (const std::string& id : Reader::Subkeys(*key)) {
      std::unique_ptr<RegistryKey> factorKey = reader.Open(Child(root, id));
      if (!factorKey) throw RegistryError(RegistryErrc::kNotFound, id + " vanished");
      Factor factor;
      factor.defName = Reader::Required(*factorKey, "DefName").AsString();
      factor.isSupported = Reader::Required(*factorKey, "IsSupported").AsDword() != 0;
      factor.type = Reader::Required(*factorKey, "Type").AsDword();
      factor.isContinuous = Reader::Required(*factorKey, "IsContinuous").AsDword() != 0;
      factor.timeoutSuccess = Reader::Required(*factorKey, "TimeoutSuccess").AsDword();
      factor.timeoutUnsuccessful = Reader::Required(*factorKey, "TimeoutUnsuccessful").AsDword();
      factor.isUi = Reader::Required(*factorKey, "IsUi").AsDword() != 0;
      factor.isHardened = Reader::Required(*factorKey, "IsHardened").AsDword() != 0;
      if (std::unique_ptr<RegistryKey> parameters =
              reader.Open(Child(Child(root, id), kParametersKey))) {
        factor.parameters = Reader::StringValues(*parameters);
      }
      factors.emplace(id, std::move(factor));
    }
  });
  flow.Done();
}

void PolicyFactors::WriteToRegistry(platform::Registry& registry,
                                    RegistryTransaction* transaction) const {
  FlowRecords flow("PolicyFactors::WriteToRegistry");
  Writer writer(registry, transaction);
  const std::string root = MirrorPath(kFactorsKey);
  writer.DeleteTree(root);
  for (const auto& [id, factor] : factors) {
    std::unique_ptr<RegistryKey> key = writer.Create(Child(root, id));
    writer.Set(*key, "DefName", RegValue::String(factor.defName));
    writer.Set(*key, "IsSupported", RegValue::Dword(Flag(factor.isSupported)));
    writer.Set(*key, "Type", RegValue::Dword(factor.type));
    writer.Set(*key, "IsContinuous", RegValue::Dword(Flag(factor.isContinuous)));
    writer.Set(*key, "TimeoutSuccess", RegValue::Dword(factor.timeoutSuccess));
    writer.Set(*key, "TimeoutUnsuccessful", RegValue::Dword(factor.timeoutUnsuccessful));
    writer.Set(*key, "IsUi", RegValue::Dword(Flag(factor.isUi)));
    writer.Set(*key, "IsHardened", RegValue::Dword(Flag(factor.isHardened)));
    if (!factor.parameters.empty()) {
      std::unique_ptr<RegistryKey> parameters =
          writer.Create(Child(Child(root, id), kParametersKey));
      writer.SetStrings(*parameters, factor.parameters);
    }
  }
  flow.Done();
}

// ---- PolicyActions. ------------------------------------------------------------------------

PolicyActions PolicyActions::Decode(std::span<const uint8_t> elements) {
  PolicyActions result;
  UniqueNames ids("action id");
  for (std::span<const uint8_t> element : Elements(elements, tag::kAction, "policy actions")) {
    const Fields fields(element, "policy action");
    Action action;
    action.id = fields.Text(tag::kActionId);
    CheckKeyName(action.id, "action id");
    ids.Add(action.id);
    for (std::span<const uint8_t> setBytes :
         Elements(fields.Value(tag::kFactorSets), tag::kFactorSet, "factor sets")) {
      FactorSet set;
      UniqueNames factorIds("factor of a set");
      for (std::span<const uint8_t> entryBytes :
           Elements(setBytes, tag::kSetEntry, "factor set")) {
        const Fields entryFields(entryBytes, "factor set entry");
        SetEntry entry;
        entry.factorId = entryFields.Text(tag::kFactorId);
        CheckKeyName(entry.factorId, "factor id");
        factorIds.Add(entry.factorId);
        if (entryFields.Has(tag::kNameValues)) {
          entry.settings = DecodeNameValues(entryFields.Value(tag::kNameValues), "set setting");
        }
        set.push_back(std::move(entry));
      }
      action.sets.push_back(std::move(set));
    }
    result.actions.push_back(std::move(action));
  }
  return result;
}

void PolicyActions::ReadFromRegistry(platform::Registry& registry,
                                     RegistryTransaction* transaction) {
  FlowRecords flow("PolicyActions::ReadFromRegistry");
  actions.clear();
  Reader reader(registry, transaction);
  reader.Run([&] {
    const std::string root = MirrorPath(kActionsKey);
    std::unique_ptr<RegistryKey> key = reader.Open(root);
    if (!key) return;
    for (const std::string& id : Reader::Subkeys(*key)) {
      const std::string actionPath = Child(root, id);
      std::unique_ptr<RegistryKey> actionKey = reader.Open(actionPath);
      if (!actionKey) throw RegistryError(RegistryErrc::kNotFound, id + " vanished");
      // Set1, Set2, ... in number order (the store lists Set10 before Set2).
      std::map<uint32_t, std::string> setNames;
      for (const std::string& name : Reader::Subkeys(*actionKey)) {
        if (std::optional<uint32_t> number = SetNumber(name)) setNames.emplace(*number, name);
      }
      Action action{id, {}};
      for (const auto& [number, setName] : setNames) {
        const std::string setPath = Child(actionPath, setName);
        std::unique_ptr<RegistryKey> setKey = reader.Open(setPath);
        if (!setKey) throw RegistryError(RegistryErrc::kNotFound, setName + " vanished");
        FactorSet set;
        for (const std::string& factorId : Reader::Subkeys(*setKey)) {
          std::unique_ptr<RegistryKey> entryKey = reader.Open(Child(setPath, factorId));
          if (!entryKey) throw RegistryError(RegistryErrc::kNotFound, factorId + " vanished");
          set.push_back({factorId, Reader::StringValues(*entryKey)});
        }
        action.sets.push_back(std::move(set));
      }
      actions.push_back(std::move(action));
    }
  });
  flow.Done();
}

void PolicyActions::WriteToRegistry(platform::Registry& registry,
                                    RegistryTransaction* transaction) const {
  FlowRecords flow("PolicyActions::WriteToRegistry");
  Writer writer(registry, transaction);
  const std::string root = MirrorPath(kActionsKey);
  writer.DeleteLeafQuietly(root);
  writer.Create(root);
  for (const Action& action : actions) {
    const std::string actionPath = Child(root, action.id);
    writer.Create(actionPath);
    for (size_t i = 0; i < action.sets.size(); ++i) {
      const std::string setPath = Child(actionPath, kSetPrefix + std::to_string(i + 1));
      writer.Create(setPath);
      for (const SetEntry& entry : action.sets[i]) {
        std::unique_ptr<RegistryKey> key = writer.Create(Child(setPath, entry.factorId));
        writer.SetStrings(*key, entry.settings);
      }
    }
  }
  flow.Done();
}

const PolicyActions::Action* PolicyActions::Find(const std::string& id) const {
  auto it = std::find_if(actions.begin(), actions.end(),
                         [&id](const Action& action) { return action.id == id; });
  return it == actions.end() ? nullptr : &*it;
}

// ---- SystemParams. -------------------------------------------------------------------------

SystemParams SystemParams::Decode(std::span<const uint8_t> elements) {
  SystemParams result;
  UniqueNames names("system setting");
  for (std::span<const uint8_t> element : Elements(elements, tag::kSetting, "system settings")) {
    const Fields fields(element, "system setting");
    Param param;
    param.name = fields.Text(tag::kSettingName);
    CheckKeyName(param.name, "system setting");
    names.Add(param.name);
    param.type = fields.Number(tag::kSettingType);
    const std::span<const uint8_t> value = fields.Value(tag::kSettingValue);
    param.value.assign(value.begin(), value.end());
    result.params.push_back(std::move(param));
  }
  return result;
}

void SystemParams::ReadFromRegistry(platform::Registry& registry,
                                    RegistryTransaction* transaction) {
  FlowRecords flow("SystemParams::ReadFromRegistry");
  params.clear();
  Reader reader(registry, transaction);
  reader.Run([&] {
    const std::string root = MirrorPath(kSystemSettingsKey);
    std::unique_ptr<RegistryKey> key = reader.Open(root);
    if (!key) return;
    for (const std::string& name : Reader::Subkeys(*key)) {
      std::unique_ptr<RegistryKey> paramKey = reader.Open(Child(root, name));
      if (!paramKey) throw RegistryError(RegistryErrc::kNotFound, name + " vanished");
      const RegValue value = Reader::Required(*paramKey, "Value");
      if (value.type != platform::RegType::kBinary) {
        throw RegistryError(RegistryErrc::kTypeMismatch, name + "\\Value is not binary");
      }
      params.push_back({name, Reader::Required(*paramKey, "Type").AsDword(), value.data});
    }
  });
  flow.Done();
}

void SystemParams::WriteToRegistry(platform::Registry& registry,
                                   RegistryTransaction* transaction) const {
  FlowRecords flow("SystemParams::WriteToRegistry");
  Writer writer(registry, transaction);
  const std::string root = MirrorPath(kSystemSettingsKey);
  writer.Create(root);
  for (const Param& param : params) {
    std::unique_ptr<RegistryKey> key = writer.Create(Child(root, param.name));
    writer.Set(*key, "Value", RegValue::Binary(param.value));
    writer.Set(*key, "Type", RegValue::Dword(param.type));
  }
  flow.Done();
}

// ---- UserData. -----------------------------------------------------------------------------

UserData UserData::Decode(std::span<const uint8_t> userData) {
  UserData result;
  UniqueNames sids("user");
  for (std::span<const uint8_t> element : Elements(userData, tag::kUserData, "user data")) {
    const Fields fields(element, "user element");
    const std::string sid = fields.Text(tag::kUser);
    if (!platform::IsSidText(sid)) Malformed("user '" + sid.substr(0, 80) + "' is not a SID");
    sids.Add(sid);
    FactorEntries& entries = result.users[sid];
    if (!fields.Has(tag::kUserEntries)) continue;
    UniqueNames factorIds("factor entry");
    for (std::span<const uint8_t> entryBytes :
         Elements(fields.Value(tag::kUserEntries), tag::kUserEntry, "user entries")) {
      const Fields entryFields(entryBytes, "user entry");
      const std::string factorId = entryFields.Text(tag::kFactorId);
      CheckKeyName(factorId, "factor id");
      factorIds.Add(factorId);
      entries[factorId] = DecodeNameValues(entryFields.Value(tag::kNameValues), "user value");
    }
  }
  return result;
}

void UserData::ReadFromRegistry(platform::Registry& registry, RegistryTransaction* transaction,
                                const std::string& user) {
  FlowRecords flow("UserData::ReadFromRegistry");
  users.clear();
  Reader reader(registry, transaction);
  reader.Run([&] {
    const std::string root = MirrorPath(kUsersKey);
    std::vector<std::string> sids;
    if (!user.empty()) {
      sids.push_back(user);
    } else if (std::unique_ptr<RegistryKey> key = reader.Open(root)) {
      sids = Reader::Subkeys(*key);
    }
    for (const std::string& sid : sids) {
      const std::string userPath = Child(root, sid);
      std::unique_ptr<RegistryKey> userKey = reader.Open(userPath);
      if (!userKey) continue;
      FactorEntries& entries = users[sid];
      for (const std::string& factorId : Reader::Subkeys(*userKey)) {
        std::unique_ptr<RegistryKey> entryKey = reader.Open(Child(userPath, factorId));
        if (!entryKey) throw RegistryError(RegistryErrc::kNotFound, factorId + " vanished");
        entries[factorId] = Reader::StringValues(*entryKey);
      }
    }
  });
  flow.Done();
}

void UserData::WriteToRegistry(platform::Registry& registry, RegistryTransaction* transaction,
                               const std::string& requestedUser) const {
  FlowRecords flow("UserData::WriteToRegistry");
  Writer writer(registry, transaction);
  const std::string root = MirrorPath(kUsersKey);
  const bool allUsers = requestedUser.empty();

  // Users the mirror holds that the reply no longer does.
  std::vector<std::string> gone;
  if (allUsers) {
    for (const std::string& sid : writer.SubkeysOf(root)) {
      if (users.count(sid) == 0) gone.push_back(sid);
    }
  } else if (users.count(requestedUser) == 0) {
    gone.push_back(requestedUser);
  }
  for (const std::string& sid : gone) writer.DeleteTree(Child(root, sid));

  for (const auto& [sid, entries] : users) {
    if (!allUsers && sid != requestedUser) continue;  // the applet answered beyond the question
    const std::string userPath = Child(root, sid);
    std::set<std::string> kept;
    for (const auto& [factorId, values] : entries) kept.insert(platform::FoldRegistryName(factorId));
    for (const std::string& factorId : writer.SubkeysOf(userPath)) {
      // One user's reply is complete, so every entry is written afresh.
      if (!allUsers || kept.count(platform::FoldRegistryName(factorId)) == 0) {
        writer.DeleteTree(Child(userPath, factorId));
      }
    }
    writer.Create(userPath);
    for (const auto& [factorId, values] : entries) {
      std::unique_ptr<RegistryKey> key = writer.Create(Child(userPath, factorId));
      writer.SetStrings(*key, values);
    }
  }
  flow.Done();
}

bool UserData::IsEnrolled(const NameValues& entry) {
  for (const NameValue& value : entry) {
    if (platform::FoldRegistryName(value.name) == "isenrolled") {
      return platform::FoldRegistryName(value.value) == "true";
    }
  }
  return false;
}

}  // namespace AuthenticateDataMirroring
