// The filter library is called through virtual tables, so the position of
// every operation is part of its binary interface. These tests call each
// operation by its table entry, the way a separately compiled library or
// agent would reach it.
#include <gtest/gtest.h>

#include <string>

#include "agent/velmorainfo.h"
#include "hxtarrow/sockfltrapi.h"

#if defined(__GXX_ABI_VERSION)  // Itanium C++ ABI

namespace hxt {
namespace {

// A virtual destructor fills two entries (complete and deleting destructor),
// so an operation at slot n behind one sits at entry n + 1.
constexpr int kAfterDestructor = 1;

template <typename R, typename Interface, typename... Args>
R CallEntry(Interface* object, int entry, Args... args) {
  using Function = R (*)(Interface*, Args...);
  void** table = *reinterpret_cast<void***>(object);
  return reinterpret_cast<Function>(table[entry])(object, args...);
}

// Every operation stores its own name and the argument it was given.
struct Probe {
  std::string last;
  const void* argument = nullptr;
  ngc_error_t hit(const char* name, const void* arg = nullptr) {
    last = name;
    argument = arg;
    return 0;
  }
};

class ProbeVelmoraApi : public IVelmoraApi, public Probe {
 public:
  ngc_error_t Reserved0() override { return hit("Reserved0"); }
  bool IsPreloadNeeded() override { return !hit("IsPreloadNeeded"); }
  bool IsPluginOpen() override { return !hit("IsPluginOpen"); }
  ngc_error_t OpenPlugin(IKdfApiCB* cb) override { return hit("OpenPlugin", cb); }
  ngc_error_t ClosePlugin() override { return hit("ClosePlugin"); }
  ngc_error_t Clear() override { return hit("Clear"); }
  ngc_error_t SetParameters(IVelmoraInfo* info) override { return hit("SetParameters", info); }
  ngc_error_t StartEncryptedDnsHandling() override { return hit("StartEncryptedDnsHandling"); }
};

class ProbeVpnDnsApi : public IVpnDnsApi, public Probe {
 public:
  ngc_error_t Reserved0() override { return hit("Reserved"); }
  ngc_error_t Reserved1() override { return hit("Reserved"); }
  ngc_error_t Reserved2() override { return hit("Reserved"); }
  ngc_error_t OpenPlugin(IKdfApiCB* cb) override { return hit("OpenPlugin", cb); }
  ngc_error_t ClosePlugin() override { return hit("ClosePlugin"); }
  ngc_error_t Reserved5() override { return hit("Reserved"); }
  ngc_error_t Reserved6() override { return hit("Reserved"); }
  ngc_error_t Reserved7() override { return hit("Reserved"); }
  ngc_error_t Reserved8() override { return hit("Reserved"); }
  ngc_error_t Reserved9() override { return hit("Reserved"); }
  ngc_error_t Reserved10() override { return hit("Reserved"); }
  ngc_error_t RefreshVelmoraPids() override { return hit("RefreshVelmoraPids"); }
};

class ProbeKestrumApi : public IKestrumApi, public Probe {
 public:
  ngc_error_t Reserved0() override { return hit("Reserved"); }
  ngc_error_t Reserved1() override { return hit("Reserved"); }
  ngc_error_t OpenPlugin(IKdfApiCB* cb) override { return hit("OpenPlugin", cb); }
  ngc_error_t ClosePlugin() override { return hit("ClosePlugin"); }
  ngc_error_t Reserved4() override { return hit("Reserved"); }
  ngc_error_t Reserved5() override { return hit("Reserved"); }
  ngc_error_t Reserved6() override { return hit("Reserved"); }
  ngc_error_t RefreshVelmoraPids() override { return hit("RefreshVelmoraPids"); }
};

class ProbeSocketRedirectorApi : public ISocketRedirectorApi, public Probe {
 public:
  ngc_error_t Reserved0() override { return hit("Reserved"); }
  ngc_error_t Reserved1() override { return hit("Reserved"); }
  ngc_error_t OpenPlugin(const char* id, IKdfApiCB*) override { return hit("OpenPlugin", id); }
  ngc_error_t ClosePlugin() override { return hit("ClosePlugin"); }
  ngc_error_t Reserved4() override { return hit("Reserved"); }
  ngc_error_t Reserved5() override { return hit("Reserved"); }
  ngc_error_t Reserved6() override { return hit("Reserved"); }
  ngc_error_t Reserved7() override { return hit("Reserved"); }
  ngc_error_t Reserved8() override { return hit("Reserved"); }
  ngc_error_t RefreshVelmoraPids() override { return hit("RefreshVelmoraPids"); }
};

class ProbeKdfApiCB : public IKdfApiCB, public Probe {
 public:
  void OnKdfDisruption() override { hit("OnKdfDisruption"); }
};

TEST(FilterApiLayout, ApiOperationsSitAtTheirSlots) {
  IKdfApiCB* const cb = reinterpret_cast<IKdfApiCB*>(0x1234);

  ProbeVelmoraApi velmora;
  IVelmoraApi* v = &velmora;
  CallEntry<bool>(v, 1);
  EXPECT_EQ(velmora.last, "IsPreloadNeeded");
  CallEntry<bool>(v, 2);
  EXPECT_EQ(velmora.last, "IsPluginOpen");
  CallEntry<ngc_error_t>(v, 3, cb);
  EXPECT_EQ(velmora.last, "OpenPlugin");
  EXPECT_EQ(velmora.argument, cb);
  CallEntry<ngc_error_t>(v, 4);
  EXPECT_EQ(velmora.last, "ClosePlugin");
  CallEntry<ngc_error_t>(v, 5);
  EXPECT_EQ(velmora.last, "Clear");
  IVelmoraInfo* const info = reinterpret_cast<IVelmoraInfo*>(0x5678);
  CallEntry<ngc_error_t>(v, 6, info);
  EXPECT_EQ(velmora.last, "SetParameters");
  EXPECT_EQ(velmora.argument, info);
  CallEntry<ngc_error_t>(v, 7);
  EXPECT_EQ(velmora.last, "StartEncryptedDnsHandling");

  struct Sibling {
    const char* name;
    Probe* probe;
    void* object;  // the interface pointer
    int open, close, refresh;
  };
  ProbeVpnDnsApi vpnDns;
  ProbeKestrumApi kestrum;
  ProbeSocketRedirectorApi redirector;
  const Sibling siblings[] = {
      {"IVpnDnsApi", &vpnDns, static_cast<IVpnDnsApi*>(&vpnDns), 3, 4, 11},
      {"IKestrumApi", &kestrum, static_cast<IKestrumApi*>(&kestrum), 2, 3, 7},
      {"ISocketRedirectorApi", &redirector, static_cast<ISocketRedirectorApi*>(&redirector), 2, 3, 9},
  };
  for (const auto& s : siblings) {
    SCOPED_TRACE(s.name);
    if (s.probe == &redirector) {
      CallEntry<ngc_error_t>(s.object, s.open, HXT_SOCKET_REDIRECTOR_PLUGIN_ID, cb);
      EXPECT_STREQ(static_cast<const char*>(s.probe->argument), "LumewaySocketFilterPlugin1.0");
    } else {
      CallEntry<ngc_error_t>(s.object, s.open, cb);
      EXPECT_EQ(s.probe->argument, cb);
    }
    EXPECT_EQ(s.probe->last, "OpenPlugin");
    CallEntry<ngc_error_t>(s.object, s.close);
    EXPECT_EQ(s.probe->last, "ClosePlugin");
    CallEntry<ngc_error_t>(s.object, s.refresh);
    EXPECT_EQ(s.probe->last, "RefreshVelmoraPids");
  }

  ProbeKdfApiCB callback;
  CallEntry<void>(static_cast<IKdfApiCB*>(&callback), 1 + kAfterDestructor);
  EXPECT_EQ(callback.last, "OnKdfDisruption");
}

// The record's getters, reached by entry on the real record the agent sends.
TEST(FilterApiLayout, ParameterRecordGettersSitAtTheirSlots) {
  IpAddressRecord r4{HXT_AF_INET, {10, 0, 0, 1}};
  IpAddressRecord r6{HXT_AF_INET6, {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}};
  CVelmoraInfo record = CVelmoraInfo::All({"w4a", "w4b"}, {"w6a", "w6b", "w6c"}, {r4}, {r6, r6, r6, r6},
                                          {1111, 2222, 3333, 4444}, 4242, {7, 8, 9, 10, 11}, true, false);
  IVelmoraInfo* info = &record;
  auto entry = [](int slot) { return slot + kAfterDestructor; };
  char text[16];
  IpAddressRecord address{};
  u32 pid = 0;

  EXPECT_EQ(CallEntry<u32>(info, entry(1)), 2u);
  EXPECT_TRUE(CallEntry<bool>(info, entry(2), text, u32{sizeof text}, false));
  EXPECT_STREQ(text, "w4a");
  EXPECT_TRUE(CallEntry<bool>(info, entry(3), text, u32{sizeof text}, false));
  EXPECT_STREQ(text, "w4b");
  EXPECT_EQ(CallEntry<u32>(info, entry(4)), 3u);
  EXPECT_TRUE(CallEntry<bool>(info, entry(5), text, u32{sizeof text}, false));
  EXPECT_STREQ(text, "w6a");
  EXPECT_TRUE(CallEntry<bool>(info, entry(6), text, u32{sizeof text}, false));
  EXPECT_STREQ(text, "w6b");
  EXPECT_EQ(CallEntry<u32>(info, entry(7)), 1u);
  EXPECT_TRUE(CallEntry<bool>(info, entry(8), &address));
  EXPECT_EQ(address.family, HXT_AF_INET);
  EXPECT_FALSE(CallEntry<bool>(info, entry(9), &address));  // only one IPv4 resolver
  EXPECT_EQ(CallEntry<u32>(info, entry(10)), 4u);
  EXPECT_TRUE(CallEntry<bool>(info, entry(11), &address));
  EXPECT_EQ(address.family, HXT_AF_INET6);
  EXPECT_TRUE(CallEntry<bool>(info, entry(12), &address));
  EXPECT_EQ(CallEntry<u16>(info, entry(13), HXT_AF_INET6, HXT_IPPROTO_UDP), 2222);
  EXPECT_EQ(CallEntry<u32>(info, entry(14)), 4242u);
  EXPECT_EQ(CallEntry<u32>(info, entry(15)), 5u);
  EXPECT_TRUE(CallEntry<bool>(info, entry(16), &pid));
  EXPECT_EQ(pid, 7u);
  EXPECT_TRUE(CallEntry<bool>(info, entry(17), &pid));
  EXPECT_EQ(pid, 8u);
  EXPECT_TRUE(CallEntry<bool>(info, entry(18)));
  EXPECT_FALSE(CallEntry<bool>(info, entry(19)));
  EXPECT_EQ(CallEntry<u32>(info, entry(20)), u32{FILTER_UPDATE_ALL});
  CVelmoraInfo ports = CVelmoraInfo::PortsOnly({});
  EXPECT_EQ(CallEntry<u32>(static_cast<IVelmoraInfo*>(&ports), entry(20)), u32{FILTER_UPDATE_PORTS});
}

}  // namespace
}  // namespace hxt

#endif  // __GXX_ABI_VERSION
