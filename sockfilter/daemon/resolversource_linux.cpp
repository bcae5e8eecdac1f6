// The machine's resolvers on Linux: the name servers of resolv.conf.
#include "daemon/resolversource.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace hxt::sockfilter {

std::string CResolverSource::fingerprint() const {
  struct stat now {};
  if (::stat(config_.resolvConfPath.c_str(), &now) != 0) return std::string();
  return std::to_string(now.st_dev) + ':' + std::to_string(now.st_ino) + ':' + std::to_string(now.st_size) +
         ':' + std::to_string(now.st_mtim.tv_sec) + '.' + std::to_string(now.st_mtim.tv_nsec);
}

std::vector<boost::asio::ip::udp::endpoint> CResolverSource::readMachineList() const {
  std::ifstream in(config_.resolvConfPath);
  std::stringstream text;
  text << in.rdbuf();
  return ResolversFromResolvConf(text.str(), stubs(), config_.resolvConfPort);
}

std::shared_ptr<void> CResolverSource::watchChanges() {
  return nullptr;
}

std::string CResolverSource::sourceName() const {
  return config_.resolvConfPath;
}

}  // namespace hxt::sockfilter
