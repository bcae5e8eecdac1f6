// Redirection control of the orchestrator: which address families the
// socket filter redirects to which listener hosts.
#include "agent/velmoramainthread.h"

namespace hxt {

void CVelmoraMainThread::ChangeDnsRedirectionMode(const char*) {
  validateStateForActivity(VELMORA_PLUGIN_CALLBACK, "CVelmoraMainThread::ChangeDnsRedirectionMode");
}

void CVelmoraMainThread::OnListenerException(u32) {}

void CVelmoraMainThread::teardownRedirection() {}

}  // namespace hxt
