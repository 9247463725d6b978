#include "flows/discovery_commands.h"

#include <set>
#include <utility>
#include <vector>

#include "common/exceptions.h"
#include "log/logger.h"
#include "storage/authenticate_data_mirroring.h"
#include "storage/user_records_interface.h"
#include "tlv/applet_tags.h"
#include "tlv/discovery_messages.h"

namespace mfab {
namespace {

namespace records = ::AuthenticateDataMirroring;
using ActionFactorDiscoveryData = GetPolicyActionFactorsDataResponse::ActionFactorDiscoveryData;

using discovery_field::kListSeparator;

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

// The entry records of a command and the exit record when it returns normally.
class CommandRecords {
 public:
  explicit CommandRecords(const char* commandName) : name(commandName) {
    KS_LOG(Log(), kLogInfo, "FLOW", "%s", name);
    KS_LOG(Log(), kLogInfo, "AM-START", "%s", name);
  }
  Bytes Done(Bytes reply) {
    KS_LOG(Log(), kLogInfo, "AM-END", "%s", name);
    return reply;
  }

 private:
  const char* name;
};

void RequirePolicy(const MirrorView& view) {
  if (view.factors.factors.empty()) {
    KS_LOG(Log(), kLogError, "FLOW", "Policy Not Set");
    throw PolicyNotSetException("Policy Not Set");
  }
}

FactorDiscoveryFactorData FactorData(const std::string& id, const MirrorView& view,
                                     const std::string& action) {
  FactorDiscoveryFactorData data;
  data.factorId = id;
  auto found = view.factors.factors.find(id);
  if (found != view.factors.factors.end()) {
    const records::PolicyFactors::Factor& factor = found->second;
    data.text04 = factor.defName;
    data.value3E = static_cast<int32_t>(factor.type);
    data.value3F = (factor.isSupported ? discovery_field::kSupported : 0) |
                   (factor.isContinuous ? discovery_field::kContinuous : 0) |
                   (factor.isUi ? discovery_field::kUi : 0) |
                   (factor.isHardened ? discovery_field::kHardened : 0);
  }
  if (view.enrolled.count(id) != 0) data.value3F |= discovery_field::kEnrolled;
  data.text02 = action;
  return data;
}

std::string Text(std::span<const uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

Bytes PolicyActionDiscoveryCommand::Discover(const std::string& action, const std::string& user) {
  CommandRecords command("PolicyActionDiscoveryCommand::Discover");
  const MirrorView view = mirroring.ReadView(user, true);
  RequirePolicy(view);
  const records::PolicyActions::Action* found = view.actions.Find(action);
  if (found == nullptr) {
    KS_LOG(Log(), kLogError, "FLOW", "Invalid Action");
    throw InvalidParamException("Invalid action");
  }
  ActionFactorDiscoveryData reply;
  reply.user = user;
  reply.action.text56 = action;
  std::vector<std::string> named;  // in order of first appearance
  std::set<std::string> seen;
  for (size_t i = 0; i < found->sets.size(); ++i) {
    ActionFactorDiscoveryData::set set;
    bool allEnrolled = !found->sets[i].empty();
    for (const records::PolicyActions::SetEntry& entry : found->sets[i]) {
      if (!set.factorId.empty()) set.factorId += kListSeparator;
      set.factorId += entry.factorId;
      allEnrolled = allEnrolled && view.enrolled.count(entry.factorId) != 0;
      if (seen.insert(entry.factorId).second) named.push_back(entry.factorId);
    }
    if (allEnrolled && reply.action.value4D == 0) reply.action.value4D = static_cast<int32_t>(i + 1);
    reply.action.sets.push_back(std::move(set));
  }
  reply.action.value4C = static_cast<int32_t>(found->sets.size());
  reply.action.value55 = static_cast<int32_t>(named.size());
  Bytes factors;
  for (const std::string& id : named) {
    AppendTlv(factors, discovery_tag::kFactorData, FactorData(id, view, action).Serialize());
  }
  reply.action.text57.assign(factors.begin(), factors.end());
  return command.Done(reply.Serialize());
}

Bytes PolicyDiscoveryCommand::Discover(const std::string& user) {
  CommandRecords command("PolicyDiscoveryCommand::Discover");
  const MirrorView view = mirroring.ReadView(user, false);
  RequirePolicy(view);
  FactorDiscovery reply;
  reply.user = user;
  for (const auto& [id, factor] : view.factors.factors) {
    reply.factors.push_back(FactorData(id, view, ""));
  }
  return command.Done(reply.Serialize());
}

Bytes FactorEnrollmentDiscoveryCommand::Discover(const std::string& user,
                                                 const std::string& factor) {
  CommandRecords command("FactorEnrollmentDiscoveryCommand::Discover");
  const EnrolledFactors enrolled = mirroring.GetEnrolledFactors(user);
  Bytes reply;
  auto found = enrolled.find(factor);
  if (found != enrolled.end()) {
    for (const records::NameValue& value : found->second) {
      Bytes item;
      AppendTlv(item, discovery_tag::kValueName, value.name);
      AppendTlv(item, discovery_tag::kValueText, value.value);
      AppendTlv(reply, discovery_tag::kEnrollmentValue, item);
    }
  }
  return command.Done(std::move(reply));
}

Bytes FactorEnrollmentParametersCommand::Discover(const std::string& factor) {
  CommandRecords command("FactorEnrollmentParametersCommand::Discover");
  const MirrorView view = mirroring.ReadView("", false);
  RequirePolicy(view);
  auto found = view.factors.factors.find(factor);
  if (found == view.factors.factors.end()) {
    KS_LOG(Log(), kLogError, "FLOW", "Factor Not Found");
    throw InvalidApiCallException("Factor [" + factor + "] Not Found in policy");
  }
  GetFactorEnrollmentParametersResponse reply;
  reply.text96 = factor;
  reply.text97 = found->second.defName;
  for (const records::NameValue& parameter : found->second.parameters) {
    Bytes element;
    AppendTlv(element, applet_tag::kName, parameter.name);
    AppendTlv(element, applet_tag::kValue, parameter.value);
    AppendTlv(reply.parameters, applet_tag::kNameValue, element);
  }
  return command.Done(reply.Serialize());
}

DiscoveryCommands::DiscoveryCommands(AuthenticateDataMirroring& mirror, IUserRecords& userRecords)
    : mirroring(mirror), records(userRecords) {}

Bytes DiscoveryCommands::Discover(int16_t kind, std::span<const uint8_t> data,
                                  const std::string& first, const std::string& /*second*/) {
  switch (kind) {
    case 0:
      return PolicyActionDiscoveryCommand(mirroring).Discover(Text(data), first);
    case 1:
      return PolicyDiscoveryCommand(mirroring).Discover(first);
    case 2:
      return FactorEnrollmentDiscoveryCommand(mirroring).Discover(first, Text(data));
    case 3: {
      UsersDiscovery users;
      for (const std::string& sid : records.LoadUserList()) {
        if (!users.users.empty()) users.users += kListSeparator;
        users.users += sid;
      }
      if (users.users.empty()) return {};
      return users.Serialize();
    }
    case 4:
      return FactorEnrollmentParametersCommand(mirroring).Discover(Text(data));
    default:
      return {};
  }
}

}  // namespace mfab
