// The request path of the orchestrator: redirected DNS requests from the
// listener hosts to the DNS plug-in and its answers back.
#include "agent/velmoramainthread.h"

namespace hxt {

void CVelmoraMainThread::Response(u32, u32, const unsigned char*, u32) {
  validateStateForActivity(VELMORA_PLUGIN_CALLBACK, "CVelmoraMainThread::Response");
}

void CVelmoraMainThread::ErrorOccurred(u32, u32, u32) {
  validateStateForActivity(VELMORA_PLUGIN_CALLBACK, "CVelmoraMainThread::ErrorOccurred");
}

bool CVelmoraMainThread::OnFirstRequestTcpFragmentAvailable(const unsigned char*, u32,
                                                            std::shared_ptr<CVelmoraTcpListenerConnection>, u32&) {
  return false;
}

bool CVelmoraMainThread::OnRequestTcpFragmentAvailable(const unsigned char*, u32, u32) { return false; }

bool CVelmoraMainThread::CloseSession(u32) { return false; }

bool CVelmoraMainThread::OnUdpRequestAvailable(const unsigned char*, u32) { return false; }


}  // namespace hxt
