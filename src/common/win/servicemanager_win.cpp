// Windows has neither systemd's notify socket nor its journal: a state
// report succeeds with nothing to send (as outside systemd on Linux), and a
// journal record is never taken. The service manager there is the SCM,
// which a service's own host talks to.
#include "common/servicemanager.h"

namespace hxt::platform {

bool NotifyServiceManager(const std::string&) {
  return true;
}

bool SendToJournal(const char*, int, const char*, const JournalFields&, const char*) {
  return false;
}

}  // namespace hxt::platform
