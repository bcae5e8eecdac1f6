#include <gtest/gtest.h>

#include <cstdlib>

#include "common/velmorautils.h"
#include "fakes/capturelogger.h"
#include "fakes/testroot.h"

namespace hxt {
namespace {

// Paths hang from HXT_ROOT, or from / on an installed system; a relative root
// fails at every level with its lines and leaves the path empty.
TEST(VelmoraUtils, PathsHangFromTheServiceRootAndFailuresAreLogged) {
  test::TestRoot root;  // restores HXT_ROOT at the end
  const std::string suite = "/opt/Truvane/Truvane Helixor Client";
  std::string path = "stale";
  ASSERT_TRUE(CVelmoraUtils::GetBinariesPath(path));
  EXPECT_EQ(path, root.path() + suite);
  ASSERT_TRUE(CVelmoraUtils::GetPluginsPath(path));
  EXPECT_EQ(path, root.path() + suite + "/Plugins");
  ASSERT_TRUE(CVelmoraUtils::GetProfilePath(path));
  EXPECT_EQ(path, root.path() + "/var" + suite + "/Tarrow");
  ::unsetenv("HXT_ROOT");
  EXPECT_TRUE(CVelmoraUtils::GetProfilePath(path));
  EXPECT_EQ(path, "/var" + suite + "/Tarrow");

  ::setenv("HXT_ROOT", "not/absolute", 1);
  test::ScopedCaptureLog log;
  EXPECT_FALSE(CVelmoraUtils::GetPluginsPath(path));
  EXPECT_TRUE(path.empty());
  EXPECT_EQ(log.Messages(LOG_LEVEL_ERROR),
            (std::vector<std::string>{"SHGetFolderPath returned code 22 - Invalid argument",
                                      "failed to get Helixor installation directory",
                                      "failed to get Helixor binaries directory"}));
  log.Clear();
  EXPECT_FALSE(CVelmoraUtils::GetProfilePath(path));
  EXPECT_EQ(log.Messages(LOG_LEVEL_ERROR).back(), "failed to get Helixor data directory");
  EXPECT_NE(log.Records().front().text.find("CVelmoraUtils::getDataPath"), std::string::npos);
}

}  // namespace
}  // namespace hxt
