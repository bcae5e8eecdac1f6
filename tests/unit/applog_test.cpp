#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "common/applog.h"
#include "common/eventviewerlogger.h"
#include "fakes/capturelogger.h"

namespace hxt {
namespace {

using test::ScopedCaptureLog;

TEST(AppLog, NoLoggerMeansNoOpAndSecondRegistrationFails) {
  HXT_LOG(LOG_LEVEL_ERROR, "nobody listens");  // must not crash
  EXPECT_FALSE(IsVerboseLogging(LoggerHandle()));
  ScopedCaptureLog log;
  auto* second = new CAppLog(std::make_unique<test::CCaptureLogger>(), false);
  EXPECT_FALSE(CAppLog::registerInstance(second));
  delete second;
  EXPECT_FALSE(CAppLog::createSingletonInstance());

  // Long messages are cut at the buffer's end; a format longer than the
  // header buffer is cut there before the arguments go in.
  log.Clear();
  HXT_LOG(LOG_LEVEL_INFO, "%s", std::string(5000, 'a').c_str());
  LogFunction(LoggerHandle(), LOG_LEVEL_INFO, "f.cpp", 1, "F", std::string(3000, 'b').c_str());
  EXPECT_EQ(log.Records().at(0).text.size(), kLogMessageBufferSize - 1);
  EXPECT_EQ(log.Records().at(1).text.size(), kLogHeaderBufferSize - 1);
}

std::size_t countOf(const std::string& hay, const std::string& needle) {
  std::size_t n = 0;
  for (auto p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

// Debug text and unknown levels never reach the event log; with verbose
// logging every text goes to the debugger output as well.
TEST(EventViewerLogger, RoutesLevelsToEventLogAndDebuggerOutputAndNamesErrors) {
  ::setenv("HXT_LOG", "stderr", 1);
  for (bool verbose : {false, true}) {
    SCOPED_TRACE(verbose);
    CEventViewerLogger logger(verbose);
    ASSERT_TRUE(logger.Open());
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(logger.Write(LOG_LEVEL_DEBUG, 0, "dbg"));
    EXPECT_TRUE(logger.Write(LOG_LEVEL_INFO, 0, "line one\nline two"));
    EXPECT_TRUE(logger.Write(LOG_LEVEL_WARNING, 1, "warn"));
    EXPECT_TRUE(logger.Write(LOG_LEVEL_ERROR, 1, "err"));
    EXPECT_FALSE(logger.Write(9, 0, "bad level"));
    EXPECT_FALSE(logger.Write(LOG_LEVEL_INFO, 0, nullptr));
    const std::string out = ::testing::internal::GetCapturedStderr();
    for (const char* line :
         {"] info: line one\n", "] info: line two\n", "] warning: warn\n", "] error: err\n"})
      EXPECT_EQ(countOf(out, line), 1u) << out;
    for (const char* line :
         {"] debug-output: dbg\n", "] debug-output: warn\n", "] debug-output: bad level\n"})
      EXPECT_EQ(countOf(out, line), verbose ? 1u : 0u) << out;
    EXPECT_EQ(countOf(out, "dbg") + countOf(out, "bad level"), verbose ? 2u : 0u) << out;
  }
  ::unsetenv("HXT_LOG");
  CEventViewerLogger logger(false);
  EXPECT_EQ(logger.GetErrorText(0), "");
  EXPECT_EQ(logger.GetErrorText(13), "Permission denied");
  EXPECT_EQ(logger.GetErrorText(0x7fff1234u), "UNKNOWN_WINDOWS_ERROR_CODE");
}

}  // namespace
}  // namespace hxt
