#pragma once

// A data root of its own under $TMPDIR (default /tmp), with the registry that names it and a
// data controller over both; removed afterwards. Run the benchmarks on the file system the
// engine's state lives on, since fsync dominates their writes.

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/config_keys.h"
#include "platform/file_system.h"
#include "platform/registry.h"
#include "storage/data_controller.h"

namespace keystone::bench {

class DataStore {
 public:
  explicit DataStore(const std::string& prefix) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    dir = pattern;
    std::filesystem::create_directory(dir + "/Data");
    std::filesystem::permissions(dir + "/Data", std::filesystem::perms(0700));
    registry = platform::OpenRegistry(dir + "/registry.db");
    platform::WriteRegistryValue(*registry, keystone::kEngineKey, "DataDir",
                                 platform::RegValue::String(dir));
    controller = std::make_unique<mfab::DataController>(*registry, platform::SystemFileSystem());
  }
  virtual ~DataStore() {
    controller.reset();
    registry.reset();
    std::filesystem::remove_all(dir);
  }
  DataStore(const DataStore&) = delete;
  DataStore& operator=(const DataStore&) = delete;

  std::string dir;
  std::unique_ptr<platform::Registry> registry;
  std::unique_ptr<mfab::DataController> controller;
};

}  // namespace keystone::bench
