#include "agent/velmoracontextcache.h"

#include <algorithm>

namespace hxt {

CVelmoraContextCache::~CVelmoraContextCache() = default;

u32 CVelmoraContextCache::Add(const unsigned char* header,
                              std::shared_ptr<CVelmoraTcpListenerConnection> connection, bool isUdp) {
  auto context = std::make_shared<RequestContext>();
  std::copy(header, header + kRedirectHeaderSize, context->header.begin());
  context->connection = std::move(connection);
  context->isUdp = isUdp;
  std::lock_guard<std::mutex> lock(mutex);
  u32 id = ++lastId;
  contexts[id] = std::move(context);
  return id;
}

bool CVelmoraContextCache::Find(u32 id, RequestContext& context) const {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = contexts.find(id);
  if (it == contexts.end()) return false;
  context = *it->second;
  return true;
}

bool CVelmoraContextCache::SetSession(u32 id, u32 session) {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = contexts.find(id);
  if (it == contexts.end()) return false;
  it->second->session = session;
  return true;
}

bool CVelmoraContextCache::Erase(u32 id, std::size_t& remaining) {
  std::shared_ptr<RequestContext> doomed;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = contexts.find(id);
  bool found = it != contexts.end();
  if (found) {
    doomed = std::move(it->second);
    contexts.erase(it);
  }
  remaining = contexts.size();
  return found;
}

bool CVelmoraContextCache::RemoveForFamily(u32 family, u32& tcpCount, u32& udpCount) {
  tcpCount = 0;
  udpCount = 0;
  std::vector<std::shared_ptr<RequestContext>> doomed;
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = contexts.begin(); it != contexts.end();) {
      if (RequesterFamily(it->second->header.data()) == family) {
        ++(it->second->isUdp ? udpCount : tcpCount);
        doomed.push_back(std::move(it->second));
        it = contexts.erase(it);
      } else {
        ++it;
      }
    }
  }
  return !doomed.empty();
}

std::size_t CVelmoraContextCache::RemoveAll() {
  std::vector<u32> sessions;
  return RemoveAll(sessions);
}

std::size_t CVelmoraContextCache::RemoveAll(std::vector<u32>& sessions) {
  std::map<u32, std::shared_ptr<RequestContext>> doomed;
  {
    std::lock_guard<std::mutex> lock(mutex);
    doomed.swap(contexts);
  }
  sessions.clear();
  for (const auto& entry : doomed) {
    if (entry.second->session != 0) sessions.push_back(entry.second->session);
  }
  return doomed.size();
}

std::size_t CVelmoraContextCache::Size() const {
  std::lock_guard<std::mutex> lock(mutex);
  return contexts.size();
}

}  // namespace hxt
