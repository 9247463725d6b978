#include "sim/applet/policy.h"

#include <set>

#include "sim/applet/field_reader.h"
#include "sim/applet/protocol.h"
#include "tlv/tlv.h"

namespace kilnsim {
namespace {

constexpr uint16_t kInvalid = sim_error::kInvalidPolicy;

void Check(bool condition, const std::string& text) {
  if (!condition) throw AppletError(kInvalid, "invalid policy: " + text);
}

std::string Identifier(const FieldReader& fields, uint16_t tag, const char* what) {
  std::string id = fields.Text(tag, 64);
  Check(IsIdentifier(id),
        std::string(what) + " '" + id + "' is not an identifier (letters, digits, '_', '-')");
  return id;
}

PolicyFactor ParseFactor(std::span<const uint8_t> element) {
  FieldReader fields(element, "policy factor", kInvalid,
                     {tag::kFactorId, tag::kFactorName, tag::kFactorType, tag::kIsContinuous,
                      tag::kIsUi, tag::kIsHardened, tag::kIsSupported, tag::kTimeoutSuccess,
                      tag::kTimeoutUnsuccessful, tag::kNameValues});
  PolicyFactor factor;
  factor.id = Identifier(fields, tag::kFactorId, "factor id");
  factor.name = fields.Text(tag::kFactorName, kMaxDisplayText);
  Check(IsPrintable(factor.name), "factor " + factor.id + " has a name with control characters");
  factor.type = fields.Uint(tag::kFactorType);
  factor.isContinuous = fields.OptionalFlag(tag::kIsContinuous, false);
  factor.isUi = fields.OptionalFlag(tag::kIsUi, false);
  factor.isHardened = fields.OptionalFlag(tag::kIsHardened, false);
  factor.isSupported = fields.OptionalFlag(tag::kIsSupported, false);
  factor.timeoutSuccess = fields.OptionalUint(tag::kTimeoutSuccess, 0);
  factor.timeoutUnsuccessful = fields.OptionalUint(tag::kTimeoutUnsuccessful, 0);
  if (fields.Has(tag::kNameValues)) {
    factor.parameters =
        ParseNameValues(fields.Bytes(tag::kNameValues), kInvalid, "factor parameters");
  }
  return factor;
}

PolicyAction ParseAction(std::span<const uint8_t> element, const std::set<std::string>& factorIds) {
  FieldReader fields(element, "policy action", kInvalid, {tag::kActionId, tag::kFactorSets});
  PolicyAction action;
  action.id = Identifier(fields, tag::kActionId, "action id");
  const auto sets = ListElements(fields.Bytes(tag::kFactorSets), tag::kFactorSet, kMaxSetsPerAction,
                                 kInvalid, "factor sets of action " + action.id);
  Check(!sets.empty(), "action " + action.id + " has no factor set");
  for (std::span<const uint8_t> setBytes : sets) {
    std::vector<SetEntry> set;
    std::set<std::string> seen;
    for (std::span<const uint8_t> entryBytes :
         ListElements(setBytes, tag::kSetEntry, kMaxFactorsPerSet, kInvalid,
                      "factor set of action " + action.id)) {
      FieldReader entryFields(entryBytes, "factor set entry", kInvalid,
                              {tag::kFactorId, tag::kNameValues});
      SetEntry entry;
      entry.factorId = Identifier(entryFields, tag::kFactorId, "factor id");
      Check(factorIds.count(entry.factorId) != 0, "action " + action.id + " names factor " +
                                                      entry.factorId +
                                                      ", which the policy does not define");
      Check(seen.insert(entry.factorId).second,
            "a factor set of action " + action.id + " names factor " + entry.factorId + " twice");
      if (entryFields.Has(tag::kNameValues)) {
        entry.settings =
            ParseNameValues(entryFields.Bytes(tag::kNameValues), kInvalid, "factor set settings");
      }
      set.push_back(std::move(entry));
    }
    Check(!set.empty(), "action " + action.id + " has an empty factor set");
    action.sets.push_back(std::move(set));
  }
  return action;
}

SystemSetting ParseSetting(std::span<const uint8_t> element) {
  FieldReader fields(element, "system setting", kInvalid,
                     {tag::kSettingName, tag::kSettingType, tag::kSettingValue});
  SystemSetting setting;
  setting.name = Identifier(fields, tag::kSettingName, "setting name");
  setting.type = fields.Uint(tag::kSettingType);
  const std::span<const uint8_t> value = fields.Bytes(tag::kSettingValue);
  Check(value.size() <= kMaxSettingValue, "setting " + setting.name + " is longer than 1024 bytes");
  setting.value.assign(value.begin(), value.end());
  return setting;
}

std::vector<uint8_t> FactorElement(const PolicyFactor& factor) {
  std::vector<uint8_t> out;
  mfab::AppendTlv(out, tag::kFactorId, factor.id);
  mfab::AppendTlv(out, tag::kFactorName, factor.name);
  mfab::AppendTlvUint(out, tag::kFactorType, factor.type);
  mfab::AppendTlvBool(out, tag::kIsContinuous, factor.isContinuous);
  mfab::AppendTlvBool(out, tag::kIsUi, factor.isUi);
  mfab::AppendTlvBool(out, tag::kIsHardened, factor.isHardened);
  mfab::AppendTlvBool(out, tag::kIsSupported, factor.isSupported);
  mfab::AppendTlvUint(out, tag::kTimeoutSuccess, factor.timeoutSuccess);
  mfab::AppendTlvUint(out, tag::kTimeoutUnsuccessful, factor.timeoutUnsuccessful);
  if (!factor.parameters.empty())
    mfab::AppendTlv(out, tag::kNameValues, SerializeNameValues(factor.parameters));
  return out;
}

std::vector<uint8_t> ActionElement(const PolicyAction& action) {
  std::vector<uint8_t> sets;
  for (const std::vector<SetEntry>& set : action.sets) {
    std::vector<uint8_t> entries;
    for (const SetEntry& entry : set) {
      std::vector<uint8_t> entryBytes;
      mfab::AppendTlv(entryBytes, tag::kFactorId, entry.factorId);
      if (!entry.settings.empty())
        mfab::AppendTlv(entryBytes, tag::kNameValues, SerializeNameValues(entry.settings));
      mfab::AppendTlv(entries, tag::kSetEntry, entryBytes);
    }
    mfab::AppendTlv(sets, tag::kFactorSet, entries);
  }
  std::vector<uint8_t> out;
  mfab::AppendTlv(out, tag::kActionId, action.id);
  mfab::AppendTlv(out, tag::kFactorSets, sets);
  return out;
}

std::vector<uint8_t> SettingElement(const SystemSetting& setting) {
  std::vector<uint8_t> out;
  mfab::AppendTlv(out, tag::kSettingName, setting.name);
  mfab::AppendTlvUint(out, tag::kSettingType, setting.type);
  mfab::AppendTlv(out, tag::kSettingValue, setting.value);
  return out;
}

}  // namespace

const PolicyFactor* Policy::FindFactor(const std::string& id) const {
  for (const PolicyFactor& factor : factors) {
    if (factor.id == id) return &factor;
  }
  return nullptr;
}

std::vector<NameValue> ParseNameValues(std::span<const uint8_t> container, uint16_t errorCode,
                                       const char* what) {
  std::vector<NameValue> values;
  std::set<std::string> names;
  for (std::span<const uint8_t> element :
       ListElements(container, tag::kNameValue, kMaxNameValues, errorCode, what)) {
    FieldReader fields(element, what, errorCode, {tag::kName, tag::kValue});
    NameValue value{fields.Text(tag::kName, 64), fields.Text(tag::kValue, kMaxValueText, true)};
    if (!IsPrintable(value.name) || value.name.find('\\') != std::string::npos ||
        !IsPrintable(value.value)) {
      throw AppletError(errorCode, std::string(what) + ": '" + value.name +
                                       "' has control characters or a backslash in its name");
    }
    if (!names.insert(value.name).second) {
      throw AppletError(errorCode, std::string(what) + ": name '" + value.name + "' repeated");
    }
    values.push_back(std::move(value));
  }
  return values;
}

std::vector<uint8_t> SerializeNameValues(const std::vector<NameValue>& values) {
  std::vector<uint8_t> out;
  for (const NameValue& value : values) {
    std::vector<uint8_t> element;
    mfab::AppendTlv(element, tag::kName, value.name);
    mfab::AppendTlv(element, tag::kValue, value.value);
    mfab::AppendTlv(out, tag::kNameValue, element);
  }
  return out;
}

Policy ParsePolicy(std::span<const uint8_t> payload) {
  Check(payload.size() <= kMaxPolicyBytes,
        "larger than " + std::to_string(kMaxPolicyBytes) + " bytes");
  FieldReader fields(payload, "policy", kInvalid, {tag::kFactors, tag::kActions, tag::kSettings});
  Policy policy;
  std::set<std::string> factorIds;
  for (std::span<const uint8_t> element : ListElements(fields.Bytes(tag::kFactors), tag::kFactor,
                                                       kMaxFactors, kInvalid, "policy factors")) {
    PolicyFactor factor = ParseFactor(element);
    Check(factorIds.insert(factor.id).second, "factor id " + factor.id + " repeated");
    policy.factors.push_back(std::move(factor));
  }
  Check(!policy.factors.empty(), "no factor");
  std::set<std::string> actionIds;
  if (fields.Has(tag::kActions)) {
    for (std::span<const uint8_t> element : ListElements(fields.Bytes(tag::kActions), tag::kAction,
                                                         kMaxActions, kInvalid, "policy actions")) {
      PolicyAction action = ParseAction(element, factorIds);
      Check(actionIds.insert(action.id).second, "action id " + action.id + " repeated");
      policy.actions.push_back(std::move(action));
    }
  }
  std::set<std::string> settingNames;
  if (fields.Has(tag::kSettings)) {
    for (std::span<const uint8_t> element :
         ListElements(fields.Bytes(tag::kSettings), tag::kSetting, kMaxSettings, kInvalid,
                      "system settings")) {
      SystemSetting setting = ParseSetting(element);
      Check(settingNames.insert(setting.name).second, "setting " + setting.name + " repeated");
      policy.settings.push_back(std::move(setting));
    }
  }
  return policy;
}

std::vector<uint8_t> SerializeFactorElements(const Policy& policy) {
  std::vector<uint8_t> out;
  for (const PolicyFactor& factor : policy.factors)
    mfab::AppendTlv(out, tag::kFactor, FactorElement(factor));
  return out;
}

std::vector<uint8_t> SerializeActionElements(const Policy& policy) {
  std::vector<uint8_t> out;
  for (const PolicyAction& action : policy.actions)
    mfab::AppendTlv(out, tag::kAction, ActionElement(action));
  return out;
}

std::vector<uint8_t> SerializeSettingElements(const Policy& policy) {
  std::vector<uint8_t> out;
  for (const SystemSetting& setting : policy.settings)
    mfab::AppendTlv(out, tag::kSetting, SettingElement(setting));
  return out;
}

std::vector<uint8_t> SerializePolicy(const Policy& policy) {
  std::vector<uint8_t> out;
  mfab::AppendTlv(out, tag::kFactors, SerializeFactorElements(policy));
  if (!policy.actions.empty()) mfab::AppendTlv(out, tag::kActions, SerializeActionElements(policy));
  if (!policy.settings.empty())
    mfab::AppendTlv(out, tag::kSettings, SerializeSettingElements(policy));
  return out;
}

}  // namespace kilnsim
