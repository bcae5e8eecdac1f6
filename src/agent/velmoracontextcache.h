// The orchestrator's record of every redirected request still in flight.
//
// Each UDP request and each redirected TCP connection gets a RequestContext
// under a context id issued here: 1, 2, 3 ... for the life of the process,
// never reused, so an answer that arrives late for a forgotten request can
// never be routed to a newer one. Entries do not expire; each is removed
// explicitly when its request ends or its address family is torn down.
//
// The map's nodes of finished UDP requests are kept for the next requests,
// so that a request in the steady state allocates nothing here.
//
// Threads: every operation may be called from any thread; each takes the
// cache's mutex for its own duration only and copies out what it returns, so
// callers never hold the mutex while calling the plug-in. The mutex is
// innermost: nothing else is locked while it is held, and contexts removed in
// bulk are released after it is dropped (releasing a context may release the
// last reference to its TCP connection).
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "agent/velmoraredirectheader.h"
#include "common/hxttypes.h"

namespace hxt {

class CVelmoraTcpListenerConnection;

// One request's record; the cache copies it out, so callers own what they get.
struct RequestContext {
  // The request's redirection header as received (for TCP: of the first
  // message on the connection).
  std::array<unsigned char, kRedirectHeaderSize> header{};
  // The connection a TCP request came on; empty for UDP.
  std::shared_ptr<CVelmoraTcpListenerConnection> connection;
  // The plug-in's session handle; 0 until OpenSession returned one.
  u32 session = 0;
  bool isUdp = false;
};

class CVelmoraContextCache {
 public:
  CVelmoraContextCache() = default;
  ~CVelmoraContextCache();
  CVelmoraContextCache(const CVelmoraContextCache&) = delete;
  CVelmoraContextCache& operator=(const CVelmoraContextCache&) = delete;

  // Stores a new context (session 0) built from the first kRedirectHeaderSize
  // bytes of `header` and returns its id.
  u32 Add(const unsigned char* header, std::shared_ptr<CVelmoraTcpListenerConnection> connection, bool isUdp);
  // Copies the context out; false when the id is unknown.
  bool Find(u32 id, RequestContext& context) const;
  // Stores the plug-in's session handle; false when the id is unknown.
  bool SetSession(u32 id, u32 session);
  // Removes the context; false when the id is unknown. `remaining` is the
  // number of contexts left either way.
  bool Erase(u32 id, std::size_t& remaining);
  // Removes every context whose requester family (header bytes 12-13) is
  // `family`; true when at least one was removed.
  bool RemoveForFamily(u32 family, u32& tcpCount, u32& udpCount);
  // Removes every context; the number removed.
  std::size_t RemoveAll();
  std::size_t Size() const;

 private:
  using Map = std::map<u32, RequestContext>;
  // Enough for the requests in flight of a busy client; a burst beyond it
  // allocates as before.
  static constexpr std::size_t kMaxSpareNodes = 256;

  mutable std::mutex mutex;
  Map contexts;
  std::vector<Map::node_type> spareNodes;
  u32 lastId = 0;
};

}  // namespace hxt
