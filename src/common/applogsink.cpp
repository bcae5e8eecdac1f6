// The agent's own log: the event log sink, verbose when the profile folder
// holds the marker file. Apart from applog.cpp so that programs with a sink
// of their own (hxsockfilterd) do not link the event log and what it needs.
#include <boost/filesystem.hpp>

#include "common/applog.h"
#include "common/eventviewerlogger.h"
#include "common/knownfolders.h"
#include "common/velmorautils.h"

namespace hxt {

CAppLog::CAppLog(bool& ok) {
  ok = false;
  std::string profile;
  if (!CVelmoraUtils::GetProfilePath(profile)) return;
  boost::system::error_code ec;
  verbose_ = boost::filesystem::is_regular_file(profile + platform::kPathSeparator + kVerboseMarkerFileName, ec);
  auto sink = std::make_unique<CEventViewerLogger>(verbose_);
  ok = sink->Open();
  sink_ = std::move(sink);
}

bool CAppLog::createSingletonInstance() {
  if (!CSingletonSlot<CAppLog>::IsFree()) return false;
  bool ok = false;
  auto* log = new CAppLog(ok);
  if (!ok || !registerInstance(log)) {
    delete log;
    return false;
  }
  return true;
}

}  // namespace hxt
