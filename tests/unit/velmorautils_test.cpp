#include <gtest/gtest.h>

#include <cstdlib>

#include "common/velmorautils.h"
#include "fakes/capturelogger.h"
#include "fakes/testroot.h"

namespace hxt {
namespace {

TEST(VelmoraUtils, PathsHangFromTheServiceRoot) {
  test::TestRoot root;
  std::string path = "stale";
  ASSERT_TRUE(CVelmoraUtils::GetBinariesPath(path));
  EXPECT_EQ(path, root.path() + "/opt/Truvane/Truvane Helixor Client");
  ASSERT_TRUE(CVelmoraUtils::GetPluginsPath(path));
  EXPECT_EQ(path, root.path() + "/opt/Truvane/Truvane Helixor Client/Plugins");
  ASSERT_TRUE(CVelmoraUtils::GetProfilePath(path));
  EXPECT_EQ(path, root.path() + "/var/opt/Truvane/Truvane Helixor Client/Tarrow");
}

TEST(VelmoraUtils, InstalledSystemUsesTheFilesystemRoot) {
  const char* old = std::getenv("HXT_ROOT");
  std::string saved = old ? old : "";
  ::unsetenv("HXT_ROOT");
  std::string path;
  EXPECT_TRUE(CVelmoraUtils::GetProfilePath(path));
  EXPECT_EQ(path, "/var/opt/Truvane/Truvane Helixor Client/Tarrow");
  if (old) ::setenv("HXT_ROOT", saved.c_str(), 1);
}

TEST(VelmoraUtils, FailuresAreLoggedAtEveryLevelAndLeaveThePathEmpty) {
  const char* old = std::getenv("HXT_ROOT");
  std::string saved = old ? old : "";
  ::setenv("HXT_ROOT", "not/absolute", 1);
  test::ScopedCaptureLog log;
  std::string path = "stale";
  EXPECT_FALSE(CVelmoraUtils::GetPluginsPath(path));
  EXPECT_TRUE(path.empty());
  auto messages = log.Messages(LOG_LEVEL_ERROR);
  std::vector<std::string> expected = {"SHGetFolderPath returned code 22 - Invalid argument",
                                       "failed to get Helixor installation directory",
                                       "failed to get Helixor binaries directory"};
  EXPECT_EQ(messages, expected);
  log.Clear();
  EXPECT_FALSE(CVelmoraUtils::GetProfilePath(path));
  EXPECT_EQ(log.Messages(LOG_LEVEL_ERROR).back(), "failed to get Helixor data directory");
  EXPECT_NE(log.Records().front().text.find("CVelmoraUtils::getDataPath"), std::string::npos);
  if (old) ::setenv("HXT_ROOT", saved.c_str(), 1); else ::unsetenv("HXT_ROOT");
}

}  // namespace
}  // namespace hxt
