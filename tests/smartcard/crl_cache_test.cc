// The revocation-list cache: memory, disk and network, with lists checked against their issuers.

#include "smartcard/crl_cache.h"

#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "common/config_keys.h"
#include "platform/file_system.h"
#include "platform/registry.h"
#include "storage/data_controller.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_registry.h"
#include "tests/fakes/program_runner.h"
#include "tests/smartcard/cert_test_support.h"

namespace keystone::testing {
namespace {

using CertificateStore::CrlCache;
using CertificateStore::CrlCacheOptions;
using CertificateStore::X509Ptr;

class CrlCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log = LogCapture::Install();
    issuers.push_back(CertificateStore::ParseCertificate(pki.intermediate().der));
    issuers.push_back(CertificateStore::ParseCertificate(pki.root().der));
    fetch.Serve(intermediateUrl, pki.IntermediateCrl());
    fetch.Serve(rootUrl, pki.RootCrl());
  }
  void TearDown() override { log->Uninstall(); }

  std::unique_ptr<CrlCache> MakeCache(CrlCacheOptions options = {}) {
    return std::make_unique<CrlCache>(
        [this] { return platform::SystemFileSystem().OpenDirectory(dir.Path()); }, fetch, clock,
        options);
  }

  std::vector<X509*> Issuers() const { return {issuers[0].get(), issuers[1].get()}; }

  size_t Lists(CrlCache& cache, const std::vector<std::string>& urls) {
    return cache.CrlsFor(urls, Issuers()).size();
  }

  bool OnDisk(const std::string& url) const {
    return std::filesystem::exists(dir.File(CrlCache::FileNameOf(url)));
  }

  const TestPki& pki = TestPki::Shared();
  const std::string intermediateUrl = pki.CrlUrl(pki.intermediate());
  const std::string rootUrl = pki.CrlUrl(pki.root());
  TempDirectory dir;
  SetClock clock;
  MemoryHttpFetch fetch;
  std::vector<X509Ptr> issuers;
  std::shared_ptr<LogCapture> log;
};

// The offline laptop: a new process (a new cache) with the network gone still has the list.
TEST_F(CrlCacheTest, OfflineProcessUsesTheListFromDisk) {
  EXPECT_EQ(Lists(*MakeCache(), {intermediateUrl}), 1u);
  fetch.Forget(intermediateUrl);
  const size_t getsBefore = fetch.Gets();
  EXPECT_EQ(Lists(*MakeCache(), {intermediateUrl}), 1u);
  EXPECT_EQ(fetch.Gets(), getsBefore);
}

TEST_F(CrlCacheTest, SecondAskIsAnsweredFromMemory) {
  auto cache = MakeCache();
  Lists(*cache, {intermediateUrl});
  std::filesystem::remove(dir.File(CrlCache::FileNameOf(intermediateUrl)));
  EXPECT_EQ(Lists(*cache, {intermediateUrl}), 1u);
  EXPECT_EQ(fetch.Gets(), 1u);
}

TEST_F(CrlCacheTest, ListPastItsNextUpdateIsFetchedAgain) {
  auto cache = MakeCache();
  Lists(*cache, {intermediateUrl});  // nextUpdate in a week
  clock.Advance(std::chrono::hours(24 * 8));
  fetch.Serve(intermediateUrl, pki.IntermediateCrl(std::chrono::hours(24 * 30)));
  EXPECT_EQ(Lists(*cache, {intermediateUrl}), 1u);
  EXPECT_EQ(fetch.Gets(), 2u);
  // The fresh one replaced the stale one on disk as well.
  fetch.Forget(intermediateUrl);
  EXPECT_EQ(Lists(*MakeCache(), {intermediateUrl}), 1u);
}

TEST_F(CrlCacheTest, StaleListOnDiskIsNotUsedOffline) {
  MakeCache()->CrlsFor({intermediateUrl}, Issuers());
  fetch.Forget(intermediateUrl);
  clock.Advance(std::chrono::hours(24 * 8));
  EXPECT_EQ(Lists(*MakeCache(), {intermediateUrl}), 0u);
}

TEST_F(CrlCacheTest, ForgedListIsDroppedUnstored) {
  const TestPki stranger({.rsaBits = 1024});  // same names, other keys
  fetch.Serve(intermediateUrl, stranger.IntermediateCrl());
  auto cache = MakeCache();
  EXPECT_EQ(Lists(*cache, {intermediateUrl}), 0u);
  EXPECT_FALSE(OnDisk(intermediateUrl));
  EXPECT_TRUE(log->Contains("is not signed by its issuer"));
}

TEST_F(CrlCacheTest, DamagedFileOnDiskIsReplacedFromTheNetwork) {
  const Der junk = {0x30, 0x03, 0x02, 0x01, 0x00};
  platform::SystemFileSystem().WriteFile(dir.File(CrlCache::FileNameOf(intermediateUrl)), junk);
  EXPECT_EQ(Lists(*MakeCache(), {intermediateUrl}), 1u);
  EXPECT_EQ(fetch.Gets(), 1u);
  EXPECT_NE(ReadFileText(dir.File(CrlCache::FileNameOf(intermediateUrl))).size(), junk.size());
}

TEST_F(CrlCacheTest, UnreachablePointIsLeftOutOfTheAnswer) {
  auto cache = MakeCache();
  EXPECT_EQ(Lists(*cache, {"http://nowhere.test/x.crl", intermediateUrl}), 1u);
  EXPECT_FALSE(OnDisk("http://nowhere.test/x.crl"));
  EXPECT_TRUE(log->Contains("CRL download failed"));
}

TEST_F(CrlCacheTest, NonListBodyIsLeftOut) {
  fetch.Serve(intermediateUrl, Der{'<', 'h', 't', 'm', 'l', '>'});
  EXPECT_EQ(Lists(*MakeCache(), {intermediateUrl}), 0u);
  EXPECT_FALSE(OnDisk(intermediateUrl));
}

TEST_F(CrlCacheTest, DownloadsShareOneTimeLimit) {
  auto cache = MakeCache({.retrievalLimit = std::chrono::milliseconds(5000)});
  Lists(*cache, {intermediateUrl, rootUrl});
  ASSERT_EQ(fetch.limits.size(), 2u);
  EXPECT_LE(fetch.limits[0], std::chrono::milliseconds(5000));
  EXPECT_LE(fetch.limits[1], fetch.limits[0]);
}

TEST_F(CrlCacheTest, UsedUpTimeLimitFetchesNothing) {
  auto cache = MakeCache({.retrievalLimit = std::chrono::milliseconds(0)});
  EXPECT_EQ(Lists(*cache, {intermediateUrl}), 0u);
  EXPECT_EQ(fetch.Gets(), 0u);
}

TEST_F(CrlCacheTest, DownloadSizeIsBounded) {
  auto cache = MakeCache({.maxCrlSize = 100});
  EXPECT_EQ(Lists(*cache, {intermediateUrl}), 0u);
  EXPECT_EQ(fetch.lastMaxBytes, 100u);
}

TEST_F(CrlCacheTest, OldestFilesMakeRoomPastTheLimit) {
  auto cache = MakeCache({.maxFiles = 2});
  const std::string third = "http://crl.keystone.test/third.crl";
  fetch.Serve(third, pki.IntermediateCrl());
  Lists(*cache, {rootUrl});
  // Make the root's file clearly the oldest.
  const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
  std::filesystem::last_write_time(dir.File(CrlCache::FileNameOf(rootUrl)), old);
  Lists(*cache, {intermediateUrl});
  Lists(*cache, {third});
  EXPECT_FALSE(OnDisk(rootUrl));
  EXPECT_TRUE(OnDisk(intermediateUrl));
  EXPECT_TRUE(OnDisk(third));
}

TEST_F(CrlCacheTest, OverlongUrlIsNotFetched) {
  auto cache = MakeCache({.maxUrlLength = 20});
  EXPECT_EQ(Lists(*cache, {intermediateUrl}), 0u);
  EXPECT_EQ(fetch.Gets(), 0u);
}

TEST_F(CrlCacheTest, UnusableDirectoryFallsBackToMemory) {
  CrlCache cache([]() -> std::unique_ptr<platform::Directory> { throw std::runtime_error("no"); },
                 fetch, clock);
  EXPECT_EQ(cache.CrlsFor({intermediateUrl}, Issuers()).size(), 1u);
  EXPECT_EQ(cache.CrlsFor({intermediateUrl}, Issuers()).size(), 1u);
  EXPECT_EQ(fetch.Gets(), 1u);
  EXPECT_TRUE(log->Contains("CRL cache directory not used"));
}

TEST_F(CrlCacheTest, ConcurrentCallersAllGetTheLists) {
  auto cache = MakeCache();
  std::atomic<int> shortAnswers{0};
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < 10; ++i) {
          if (cache->CrlsFor({intermediateUrl, rootUrl}, Issuers()).size() != 2) ++shortAnswers;
        }
      });
    }
  }
  EXPECT_EQ(shortAnswers.load(), 0);
  EXPECT_TRUE(OnDisk(intermediateUrl));
}

// The data root as the engine keeps it: named by DataDir, for its owner alone.
class CrlCacheDirectoryTest : public ::testing::Test {
 protected:
  CrlCacheDirectoryTest() {
    platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                                 platform::RegValue::String(root.Path()));
    ::chmod(root.Path().c_str(), 0700);
  }
  std::unique_ptr<platform::Directory> Open() {
    return CertificateStore::OpenCrlCacheDirectory(data, platform::SystemFileSystem());
  }

  TempDirectory root;
  MemoryRegistry registry;
  mfab::DataController data{registry, platform::SystemFileSystem()};
};

TEST_F(CrlCacheDirectoryTest, IsMadeUnderTheDataRootForTheEngineAlone) {
  auto cache = Open();
  struct stat st {};
  ASSERT_EQ(::lstat(root.File("CrlCache").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 077, 0u);
}

TEST_F(CrlCacheDirectoryTest, LinkInPlaceOfTheDirectoryIsRefused) {
  TempDirectory elsewhere;
  std::filesystem::create_directory_symlink(elsewhere.Path(), root.File("CrlCache"));
  EXPECT_ANY_THROW(Open());
}

}  // namespace
}  // namespace keystone::testing
