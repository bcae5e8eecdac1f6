#include "common/servicemanager.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "common/hxttypes.h"

namespace hxt::platform {

namespace {

bool sendTo(const char* path, const std::string& payload) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::size_t length = std::strlen(path);
  if (length == 0 || length >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path, length);
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // an abstract name
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  ssize_t sent = ::sendto(fd, payload.data(), payload.size(), MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(&address), size);
  ::close(fd);
  return sent == static_cast<ssize_t>(payload.size());
}

// A field whose value may hold new lines: the name, a new line, the value's
// length as 64 bits little-endian, the value, a new line.
void appendField(std::string& out, const char* name, const char* value) {
  std::size_t length = std::strlen(value);
  out += name;
  if (std::memchr(value, '\n', length) == nullptr) {
    out += '=';
    out.append(value, length);
  } else {
    out += '\n';
    for (int i = 0; i < 8; ++i) out += static_cast<char>((static_cast<u64>(length) >> (8 * i)) & 0xFF);
    out.append(value, length);
  }
  out += '\n';
}

}  // namespace

bool NotifyServiceManager(const std::string& state) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || *path == '\0') return true;
  return sendTo(path, state);
}

bool SendToJournal(const char* message, int priority, const char* identifier, const JournalFields& extra,
                   const char* socketPath) {
  std::string record;
  appendField(record, "MESSAGE", message);
  char number[4] = {static_cast<char>('0' + (priority & 7)), '\0'};
  appendField(record, "PRIORITY", number);
  appendField(record, "SYSLOG_IDENTIFIER", identifier);
  for (const auto& field : extra) appendField(record, field.first, field.second.c_str());
  return sendTo(socketPath, record);
}

}  // namespace hxt::platform
