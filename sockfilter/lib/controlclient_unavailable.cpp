// The filter library on a system without the filter: Windows builds have no
// socket filter of ours (there it is a kernel component of the suite), so
// every instance reports that no filter answers. OpenPlugin fails with
// kErrNoDaemon, which the agent logs and handles by running without DNS
// redirection.
#include "lib/controlclient.h"

namespace hxt::sockfilter {

CControlClient::CControlClient(ApiInterface which, bool reconnect) : which_(which), reconnect_(reconnect) {}

CControlClient::~CControlClient() = default;

ngc_error_t CControlClient::Open(const char*, IKdfApiCB*) {
  return kErrNoDaemon;
}

ngc_error_t CControlClient::Close() {
  return HXT_NGC_OK;
}

bool CControlClient::IsOpen() {
  return false;
}

ngc_error_t CControlClient::Clear() {
  return kErrNotOpen;
}

ngc_error_t CControlClient::SetParameters(u32, const FilterParameters&) {
  return kErrNotOpen;
}

ngc_error_t CControlClient::StartEncryptedDnsHandling() {
  return kErrNotOpen;
}

ngc_error_t CControlClient::RefreshPids() {
  return kErrNotOpen;
}

}  // namespace hxt::sockfilter
