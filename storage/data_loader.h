#pragma once

// The piggy-back block: stored data attached after a message to the applet, so the applet,
// which keeps nothing across sessions, gets the blobs the message needs.
//
//   0x0006 {
//     0x7BAC { 0x7BAD <category, 4-byte big-endian> ... }         categories loaded
//     0x7BAE { 0x7BAF { 0x7BB0 <full name> 0x7BB1 <content> } ... }  files, full-name order
//     0x7BB2 { [0x7BB3 <user SID>]                                    when there is a user
//              [0x7BBA { 0x7BBB <factor id> ... }]                    when any factor id
//              [0x7BBC { 0x7BBD <action id> ... }] }                  when any action id
//   }
// Every item is tag (2 bytes), length (2 bytes, at most 32767), value; the three body items
// are always present, possibly empty.

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "storage/data_controller.h"
#include "storage/policy_mirror.h"
#include "tlv/piggyback_block.h"
#include "tlv/tlv.h"

namespace mfab {

// A message's data categories (16-bit codes).
using DataCategories = std::unordered_set<uint16_t>;

// Orders files by full name, byte-wise.
struct DataFileNameLess {
  bool operator()(const std::shared_ptr<const DataFile>& a,
                  const std::shared_ptr<const DataFile>& b) const {
    return a->GetFullName() < b->GetFullName();
  }
};

// Collects the existing files of a set of categories and encodes them. A local object of one
// call; not thread-safe. Reads the policy mirror through the reader (which takes the
// policy-mirror lock); file tests and reads take no lock.
class AuthenticateDataLoader {
 public:
  using FileSet = std::set<std::shared_ptr<const DataFile>, DataFileNameLess>;

  // Both collaborators are borrowed and must outlive the loader.
  AuthenticateDataLoader(const DataController& controllerToUse, IPolicyMirrorReader& policyReader);

  // The user's SID text; empty when the message has no user.
  void SetUser(std::string userSid) { user = std::move(userSid); }

  // Handles each code in the set's iteration order; unknown codes are skipped. A missing
  // _masterVersions under 0x0001 ends the walk. Throws InvalidParamException for a user
  // category without a user, GeneralException for a refused name, and what the policy mirror
  // throws.
  void LoadKeys(const DataCategories& categories);

  // The 0x0006 item with what LoadKeys collected; file contents are read now. Throws
  // GeneralException "ReadFile failed" and std::overflow_error for a value over 32767 bytes.
  Bytes Encode() const;

  const DataCategories& LoadedCategories() const { return loadedCategories; }
  const std::set<std::string>& FactorIds() const { return factorIds; }
  const std::set<std::string>& ActionIds() const { return actionIds; }
  const FileSet& Files() const { return files; }

 private:
  std::shared_ptr<const DataFile> MakeFile(std::shared_ptr<const DataFile> parent,
                                           std::string name) const;
  void Add(const std::shared_ptr<const DataFile>& file) { files.insert(file); }
  // False when the walk must stop.
  bool LoadSystemFiles();
  void LoadPolicy();
  void LoadCertificates();
  void LoadUserEnrollment();
  void LoadUserActions();
  void LoadFactorSystem();

  const DataController* controller;
  IPolicyMirrorReader* policy;

  DataCategories loadedCategories;
  std::set<std::string> factorIds;
  std::set<std::string> actionIds;
  FileSet files;
  std::string user;
};

// Builds the block for a message: returns it (outer 0x0006 included), or empty when the set is
// empty or nothing was loaded. Replaces categories with the categories actually loaded (unless
// the set was empty or loading threw). Throws as LoadKeys and Encode do.
Bytes BuildPiggyBackBlock(const std::string& user, DataCategories& categories,
                          const DataController& controller, IPolicyMirrorReader& policyReader);

}  // namespace mfab
