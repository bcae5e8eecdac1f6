// The library's end of the control channel, per platform: a UNIX stream
// socket and a wake-up pipe on Linux, a named pipe with overlapped reads and
// a wake-up event on Windows. CControlClient keeps the protocol, the locking
// and the reconnecting; this class only moves bytes and waits.
//
// Threads: the caller of CControlClient holds its ioMutex_ around every call
// but Wake and WaitIdle; the watching thread calls Watched under that lock
// and then WaitIdle without it, so WaitIdle touches nothing but what the
// token names and the wake-up.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/controlproto.h"

namespace hxt::sockfilter {

class CControlChannel {
 public:
  using Clock = std::chrono::steady_clock;
  // What the watching thread waits on: the connection's descriptor or event.
  using Token = std::intptr_t;
  static constexpr Token kNone = -1;

  CControlChannel();
  ~CControlChannel();
  CControlChannel(const CControlChannel&) = delete;
  CControlChannel& operator=(const CControlChannel&) = delete;

  // HXT_NGC_OK; kErrRefused when the channel is there but keeps this
  // process out; kErrNoDaemon when nothing listens; kErrInvalidArgument for
  // a path the platform cannot take.
  ngc_error_t Connect(const std::string& path);
  // The system's text for the last failed Connect.
  const std::string& ConnectError() const { return connectError_; }
  bool Connected() const;
  void Disconnect();
  // All of `data` by the deadline: HXT_NGC_OK, kErrTimeout or
  // kErrConnectionLost.
  ngc_error_t Send(const std::vector<u8>& data, Clock::time_point deadline);
  // Waits up to `ms` for incoming bytes: false on time-out.
  bool WaitReadable(int ms);
  // Appends what has arrived, without waiting; false when the stream ended
  // or broke.
  bool ReadAvailable(std::vector<u8>& rx);

  Token Watched() const;
  enum class Event { Woken, Readable, TimedOut, Failed };
  // Waits for Wake, for bytes on `token` (unless kNone) or for `ms` (-1:
  // without end). A wake-up is consumed.
  Event WaitIdle(Token token, int ms);
  void Wake();

  // This process's id, which the daemon is told in the handshake.
  static u32 ProcessId();

 private:
  struct Native;
  std::unique_ptr<Native> native_;
  std::string connectError_;
};

}  // namespace hxt::sockfilter
