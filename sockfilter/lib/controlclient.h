// One control connection of libhx_sock_fltr_api to hxsockfilterd.
//
// Each interface instance of the library owns one client. Operations are
// synchronous request/reply exchanges run on the caller's thread, one at a
// time per client. Beside them the client runs one thread of its own, the
// library's thread: it watches the idle connection, turns the daemon's
// disruption notices into IKdfApiCB::OnKdfDisruption, notices when the
// connection breaks and, for the DNS plug-in's client, reconnects, reopens and
// restores the parameters the daemon had (the daemon loses them when it
// restarts). The callback therefore runs on the client's thread, never on a
// caller's, and may call back into the library; it must not release the
// instance it was called for.
//
// Locks: callMutex_ serialises operations and reconnect attempts; ioMutex_
// guards the socket and everything below it and is taken inside callMutex_
// (or alone by the watching thread); deliveryMutex_ is held while the callback
// runs, so that once Close has returned no callback is running or will run.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/controlproto.h"
#include "lib/controlchannel.h"

namespace hxt::sockfilter {

class CControlClient {
 public:
  // `reconnect`: after the connection breaks while the plug-in is open, keep
  // trying to reconnect and restore the state.
  CControlClient(ApiInterface which, bool reconnect);
  ~CControlClient();
  CControlClient(const CControlClient&) = delete;
  CControlClient& operator=(const CControlClient&) = delete;

  ngc_error_t Open(const char* pluginId, IKdfApiCB* callback);
  ngc_error_t Close();
  bool IsOpen();
  ngc_error_t Clear();
  ngc_error_t SetParameters(u32 kind, const FilterParameters& record);
  ngc_error_t StartEncryptedDnsHandling();
  ngc_error_t RefreshPids();

 private:
  // Helpers ending in Locked expect ioMutex_ held (and callMutex_ by callers
  // other than the watching thread).
  ngc_error_t connectLocked();
  void disconnectLocked(bool lost);
  ngc_error_t exchangeLocked(std::vector<u8> frame, u32 sequence, u16 replyType, Frame& reply);
  ngc_error_t simpleRequestLocked(u16 type, const std::vector<u8>& body);
  ngc_error_t openLocked();
  bool readAvailableLocked();
  void takeNoticesLocked();
  void wake();
  void run();
  void deliver(u32 disruptions);
  bool tryReconnect();

  const ApiInterface which_;
  const bool reconnect_;
  std::mutex callMutex_;
  std::mutex ioMutex_;
  std::mutex deliveryMutex_;
  CControlChannel channel_;
  bool established_ = false;  // the handshake on the channel succeeded
  std::vector<u8> rx_;
  u32 nextSequence_ = 1;
  bool open_ = false;  // the caller opened the plug-in and has not closed it
  bool stop_ = false;
  std::string pluginId_;
  IKdfApiCB* callback_ = nullptr;
  u32 pendingDisruptions_ = 0;
  FilterParameters mirror_;  // what the daemon holds, restored after a reconnect
  bool haveMirror_ = false;
  std::thread thread_;
};

}  // namespace hxt::sockfilter
