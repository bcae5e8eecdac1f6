// The cloud downloader: update locations, versions, manifests, and when it announces an update.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "clouddownloaderplugin.h"
#include "fakes/testroot.h"
#include "updatemanifest.h"

namespace hxtplugin {
namespace {

using hxt::test::TestRoot;
using hxt::test::WaitFor;

TEST(UpdateLocation, IsALocalAbsolutePath) {
  const std::pair<const char*, const char*> cases[] = {
      {"file:///srv/updates", "/srv/updates"},
      {"file://localhost/srv/up%20dates%2f", "/srv/up dates/"},
      {"/srv/updates/manifest.json", "/srv/updates/manifest.json"}};
  auto locate = [](const char* url) {
    std::string path, error;
    return LocationFromUrl(url, path, error) ? path : error.empty() ? "no reason" : "refused";
  };
  for (const auto& [url, path] : cases) EXPECT_EQ(locate(url), path) << url;
  for (const char* url : {"https://updates.example/x", "file://server/share", "file://", "file:///a%2",
                          "file:///a%zz", "updates", ""})
    EXPECT_EQ(locate(url), "refused") << url;
}

TEST(UpdateVersion, ComparesNumbersPartByPart) {
  struct Case {
    const char *a, *b;
    bool valid;
    int order;
  } cases[] = {{"1.2", "1.2.0", true, 0},    {"1.10", "1.9", true, 1}, {"1.0.0", "1.0.1", true, -1},
               {"2", "1.99.99.99", true, 1}, {"1..2", "1", false, 0},  {"1.a", "1", false, 0},
               {"1.2.3.4.5", "1", false, 0}, {"", "1", false, 0},      {"1.-2", "1", false, 0}};
  for (const Case& c : cases) {
    int order = 7;
    EXPECT_EQ(CompareVersions(c.a, c.b, order), c.valid) << c.a << " vs " << c.b;
    EXPECT_EQ(order, c.valid ? c.order : 7) << c.a << " vs " << c.b;
  }
}

constexpr const char* kAbcSha256 = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";

std::string manifest(const std::string& version, const std::string& sha = kAbcSha256) {
  return R"({"version":")" + version + R"(","package":"pkg.tar","sha256":")" + sha + "\"}";
}

TEST(UpdateLocation, FindsOnlyAWholeNewerPackage) {
  TestRoot root;
  const std::string folder = root.path() + "/updates";
  struct Case {
    const char* name;
    std::string manifest, package;  // manifest: "" for none
    LocationCheck::Kind kind;
    const char* detail;  // a part of the detail
  } cases[] = {
      {"nothing there", "", "", LocationCheck::kNoManifest, "no manifest at"},
      {"not JSON", "{", "abc", LocationCheck::kInvalid, "not JSON"},
      {"no version", R"({"package":"pkg.tar"})", "abc", LocationCheck::kInvalid, "version: missing"},
      {"package with a path", R"({"version":"2","package":"../pkg.tar"})", "abc", LocationCheck::kInvalid,
       "package: missing or not a file name"},
      {"short digest", manifest("2", "abc"), "abc", LocationCheck::kInvalid, "sha256: expected 64 hex"},
      {"same version", manifest("1.0"), "abc", LocationCheck::kNotNewer, "is not newer than 1.0.0"},
      {"no package", manifest("1.1"), "", LocationCheck::kInvalid, "is missing"},
      {"damaged package", manifest("1.1"), "abd", LocationCheck::kInvalid, "does not match its sha256"},
      {"newer", manifest("1.1"), "abc", LocationCheck::kNewer, "version 1.1 is ready"},
      {"newer without digest", R"({"version":"1.0.1","package":"pkg.tar"})", "any", LocationCheck::kNewer,
       ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove((folder + "/manifest.json").c_str());
    std::remove((folder + "/pkg.tar").c_str());
    if (!c.manifest.empty()) root.WriteFile("updates/manifest.json", c.manifest);
    if (!c.package.empty()) root.WriteFile("updates/pkg.tar", c.package);
    for (const std::string& location : {folder, folder + "/manifest.json"}) {
      const LocationCheck check = CheckLocation(location, "1.0.0");
      EXPECT_EQ(check.kind, c.kind) << check.detail;
      EXPECT_NE(check.detail.find(c.detail), std::string::npos) << check.detail;
    }
  }
  // The digest of a file that spans several reads; none of a missing one.
  root.WriteFile("big", std::string(1000000, 'a'));
  EXPECT_EQ(Sha256OfFile(root.path() + "/big"),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_EQ(Sha256OfFile(root.path() + "/missing"), "");
}

// Counts the announcements; answers the first `refusals` with the service's refusal.
class CountingDownloaderCallback : public ICloudDownloaderPluginCB {
 public:
  i32 UpdateAvailable() override { return ++calls <= refusals ? -10 : 0; }
  i32 UpdateInProgress() override { return 0; }
  std::atomic<int> calls{0};
  int refusals = 0;
};

class CloudDownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(plugin_.Register(&callback_), 0u); }
  std::string url() const { return "file://" + root_.path() + "/updates"; }  // spaces and all

  TestRoot root_;
  CountingDownloaderCallback callback_;
  CCloudDownloaderPlugin plugin_{"1.0.0", {std::chrono::milliseconds(1), 3600, 1}};
};

// Bad calls are refused; nothing is announced while the upgrade window is closed.
TEST_F(CloudDownloaderTest, AnnouncesAnUpdateThatAppearsOnceAcceptedAndRetriesARefusal) {
  EXPECT_EQ(plugin_.UpdateParameters("https://updates.example/", 60, true), kDownloaderUnsupportedLocation);
  EXPECT_EQ(plugin_.UpdateParameters(nullptr, 60, true), kDownloaderBadArgument);
  EXPECT_EQ(plugin_.UserSessionChange(3), kDownloaderBadArgument);
  EXPECT_EQ(plugin_.UserSessionChange(HXT_USER_SESSION_LOGON), 0u);
  CCloudDownloaderPlugin unregistered{"1.0.0", {}};
  EXPECT_EQ(unregistered.Start(), kDownloaderNotRegistered);
  EXPECT_EQ(unregistered.Register(nullptr), kDownloaderBadArgument);
  callback_.refusals = 1;
  root_.WriteFile("updates/pkg.tar", "abc");
  root_.WriteFile("updates/manifest.json", manifest("1.1"));
  ASSERT_EQ(plugin_.UpdateParameters(url().c_str(), 1, false), 0u);
  ASSERT_EQ(plugin_.Start(), 0u);
  EXPECT_TRUE(WaitFor([&] { return plugin_.CheckCount() >= 3; }));
  EXPECT_EQ(callback_.calls, 0);
  ASSERT_EQ(plugin_.UpdateParameters(url().c_str(), 5, true), 0u);
  // Found by the periodic check, refused once, announced on the next check.
  EXPECT_TRUE(WaitFor([&] { return callback_.calls == 2; }));
  root_.WriteFile("updates/manifest.json", manifest("1.2"));
  EXPECT_TRUE(WaitFor([&] { return callback_.calls == 3; }));
  // Announced once: later checks find the same version.
  const u64 checks = plugin_.CheckCount();
  EXPECT_TRUE(WaitFor([&] { return plugin_.CheckCount() >= checks + 3; }));
  EXPECT_EQ(callback_.calls, 3);
}

}  // namespace
}  // namespace hxtplugin
