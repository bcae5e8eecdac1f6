#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "common/applog.h"
#include "common/eventviewerlogger.h"
#include "fakes/capturelogger.h"
#include "fakes/testroot.h"

namespace hxt {
namespace {

using test::ScopedCaptureLog;

std::string threadId() {
  return std::to_string(static_cast<unsigned>(::syscall(SYS_gettid)));
}

TEST(AppLog, PlainAndFunctionFormsCarryTheirCategoryAndHeader) {
  ScopedCaptureLog log;
  HXT_LOG(LOG_LEVEL_WARNING, "plain %d", 7);
  LoggerHandle handle;
  LogFunction(handle, LOG_LEVEL_ERROR, "file.cpp", 42, "CThing::Do", "value %s=%u", "x", 5u);
  HXT_LOGF(LOG_LEVEL_INFO, "Suite::Case", "hello");  // with the source's base name

  auto records = log.Records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].level, LOG_LEVEL_WARNING);
  EXPECT_EQ(records[0].category, LOG_CATEGORY_PLAIN);
  EXPECT_EQ(records[0].text, "plain 7");
  EXPECT_EQ(records[1].category, LOG_CATEGORY_FUNCTION);
  EXPECT_EQ(records[1].text, "Function: CThing::Do (file.cpp:42)\nThread: " + threadId() + "\nvalue x=5");
  EXPECT_EQ(records[2].text.rfind("Function: Suite::Case (applog_test.cpp:", 0), 0u) << records[2].text;
  EXPECT_EQ(SourceBaseName("C:\\src\\agent\\x.cpp"), std::string("x.cpp"));
  EXPECT_EQ(SourceBaseName("plain.cpp"), std::string("plain.cpp"));
}

TEST(AppLog, NoLoggerMeansNoOpAndSecondRegistrationFails) {
  HXT_LOG(LOG_LEVEL_ERROR, "nobody listens");  // must not crash
  EXPECT_FALSE(IsVerboseLogging(LoggerHandle()));
  ScopedCaptureLog log;
  auto* second = new CAppLog(std::make_unique<test::CCaptureLogger>(), false);
  EXPECT_FALSE(CAppLog::registerInstance(second));
  delete second;
  EXPECT_FALSE(CAppLog::createSingletonInstance());
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

// The marker file switches verbose logging on; a relative root leaves no
// profile directory, and creation fails.
TEST(AppLogCreation, VerboseMarkerInTheProfileDirectoryAndNoDirectoryAtAll) {
  test::TestRoot root;  // restores HXT_ROOT at the end
  for (bool marker : {false, true}) {
    if (marker) root.WriteFile("var/opt/Truvane/Truvane Helixor Client/Tarrow/verbose_logging", "");
    bool ok = false;
    CAppLog log(ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(log.verbose(), marker);
  }
  ::setenv("HXT_ROOT", "relative/root", 1);
  bool ok = true;
  { CAppLog log(ok); }
  EXPECT_FALSE(ok);
  EXPECT_FALSE(CAppLog::createSingletonInstance());
}

}  // namespace
}  // namespace hxt
