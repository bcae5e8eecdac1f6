#include "agent/velmoracontextcache.h"

#include <algorithm>
#include <iterator>

namespace hxt {

CVelmoraContextCache::~CVelmoraContextCache() = default;

u32 CVelmoraContextCache::Add(const unsigned char* header,
                              std::shared_ptr<CVelmoraTcpListenerConnection> connection, bool isUdp) {
  std::lock_guard<std::mutex> lock(mutex);
  u32 id = ++lastId;
  Map::iterator it;
  if (spareNodes.empty()) {
    it = contexts.insert_or_assign(id, RequestContext{}).first;
  } else {
    Map::node_type node = std::move(spareNodes.back());
    spareNodes.pop_back();
    node.key() = id;
    it = contexts.insert(std::move(node)).position;  // an entry of the same id is overwritten below
  }
  RequestContext& context = it->second;
  std::copy(header, header + kRedirectHeaderSize, context.header.begin());
  context.connection = std::move(connection);
  context.session = 0;
  context.isUdp = isUdp;
  return id;
}

bool CVelmoraContextCache::Find(u32 id, RequestContext& context) const {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = contexts.find(id);
  if (it == contexts.end()) return false;
  context = it->second;
  return true;
}

bool CVelmoraContextCache::SetSession(u32 id, u32 session) {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = contexts.find(id);
  if (it == contexts.end()) return false;
  it->second.session = session;
  return true;
}

bool CVelmoraContextCache::Erase(u32 id, std::size_t& remaining) {
  Map::node_type doomed;  // released after the lock: it may hold the last reference to a connection
  std::lock_guard<std::mutex> lock(mutex);
  auto it = contexts.find(id);
  bool found = it != contexts.end();
  if (found) {
    doomed = contexts.extract(it);
    if (!doomed.mapped().connection && spareNodes.size() < kMaxSpareNodes)
      spareNodes.push_back(std::move(doomed));
  }
  remaining = contexts.size();
  return found;
}

bool CVelmoraContextCache::RemoveForFamily(u32 family, u32& tcpCount, u32& udpCount) {
  tcpCount = 0;
  udpCount = 0;
  std::vector<Map::node_type> doomed;
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = contexts.begin(); it != contexts.end();) {
      auto next = std::next(it);
      if (RequesterFamily(it->second.header.data()) == family) {
        ++(it->second.isUdp ? udpCount : tcpCount);
        doomed.push_back(contexts.extract(it));
      }
      it = next;
    }
  }
  return !doomed.empty();
}

std::size_t CVelmoraContextCache::RemoveAll() {
  Map doomed;
  {
    std::lock_guard<std::mutex> lock(mutex);
    doomed.swap(contexts);
  }
  return doomed.size();
}

std::size_t CVelmoraContextCache::Size() const {
  std::lock_guard<std::mutex> lock(mutex);
  return contexts.size();
}

}  // namespace hxt
