// The binary layouts of the plug-in SDK and the filter library, and the
// documented example module built against the SDK.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "agent/pluginloader.h"
#include "fakes/capturelogger.h"
#include "fakes/fakeplugin.h"
#include "fakes/testroot.h"
#include "hxtarrow/sockfltrapi.h"
#include "support/recordingservice.h"

namespace hxt {
namespace {

// Itanium C++ ABI: a pointer to a virtual member holds 1 + the slot's byte offset, plus the this-adjustment.
struct MemberPointer {
  std::uintptr_t ptr;
  std::ptrdiff_t adj;
};

template <typename Method>
MemberPointer Decode(Method method) {
  static_assert(sizeof(Method) == sizeof(MemberPointer), "Itanium pointer to member");
  MemberPointer decoded;
  std::memcpy(&decoded, &method, sizeof decoded);
  return decoded;
}

// Slot index of a virtual member, or -1 for a non-virtual one.
template <typename Method>
long Slot(Method method) {
  MemberPointer decoded = Decode(method);
  return (decoded.ptr & 1) != 0 ? static_cast<long>((decoded.ptr - 1) / sizeof(void*)) : -1;
}

// Each interface's operations occupy consecutive slots from `first`.
void ExpectSlots(const char* name, long first, const std::vector<long>& slots) {
  for (std::size_t op = 0; op < slots.size(); ++op)
    EXPECT_EQ(slots[op], first + static_cast<long>(op)) << name << " operation " << op;
}

// The filter library is called through virtual tables too. Behind a virtual destructor, which fills two
// entries (complete and deleting), published slot n is entry n + 1.
TEST(FilterApiLayout, OperationsSitAtTheirSlots) {
  ExpectSlots("IVelmoraApi", 1,
              {Slot(&IVelmoraApi::IsPreloadNeeded), Slot(&IVelmoraApi::IsPluginOpen),
               Slot(&IVelmoraApi::OpenPlugin), Slot(&IVelmoraApi::ClosePlugin), Slot(&IVelmoraApi::Clear),
               Slot(&IVelmoraApi::SetParameters), Slot(&IVelmoraApi::StartEncryptedDnsHandling)});
  // The siblings' few operations the manager calls, at their slots.
  EXPECT_EQ(
      (std::vector<long>{Slot(&IVpnDnsApi::OpenPlugin), Slot(&IVpnDnsApi::ClosePlugin),
                         Slot(&IVpnDnsApi::RefreshVelmoraPids), Slot(&IKestrumApi::OpenPlugin),
                         Slot(&IKestrumApi::ClosePlugin), Slot(&IKestrumApi::RefreshVelmoraPids),
                         Slot(&ISocketRedirectorApi::OpenPlugin), Slot(&ISocketRedirectorApi::ClosePlugin),
                         Slot(&ISocketRedirectorApi::RefreshVelmoraPids), Slot(&IKdfApiCB::OnKdfDisruption)}),
      (std::vector<long>{3, 4, 11, 2, 3, 7, 2, 3, 9, 2}));
  ExpectSlots("IVelmoraInfo", 2,
              {Slot(&IVelmoraInfo::GetWhiteList4Count),      Slot(&IVelmoraInfo::GetFirstWhiteList4Entry),
               Slot(&IVelmoraInfo::GetNextWhiteList4Entry),  Slot(&IVelmoraInfo::GetWhiteList6Count),
               Slot(&IVelmoraInfo::GetFirstWhiteList6Entry), Slot(&IVelmoraInfo::GetNextWhiteList6Entry),
               Slot(&IVelmoraInfo::GetResolver4Count),       Slot(&IVelmoraInfo::GetFirstResolver4),
               Slot(&IVelmoraInfo::GetNextResolver4),        Slot(&IVelmoraInfo::GetResolver6Count),
               Slot(&IVelmoraInfo::GetFirstResolver6),       Slot(&IVelmoraInfo::GetNextResolver6),
               Slot(&IVelmoraInfo::GetListenerPort),         Slot(&IVelmoraInfo::GetAgentPid),
               Slot(&IVelmoraInfo::GetIgnoredPidCount),      Slot(&IVelmoraInfo::GetFirstIgnoredPid),
               Slot(&IVelmoraInfo::GetNextIgnoredPid),       Slot(&IVelmoraInfo::IsRedirect4Enabled),
               Slot(&IVelmoraInfo::IsRedirect6Enabled),      Slot(&IVelmoraInfo::GetUpdateKind)});
}

TEST(PluginSdkLayout, EveryOperationSitsAtItsPublishedSlot) {
  ExpectSlots("IPlugin", 0, {Slot(&IPlugin::SupportsInterface)});
  ExpectSlots("IPluginMessageSink", 1,
              {Slot(&IPluginMessageSink::ReceiveMessage), Slot(&IPluginMessageSink::ReceiveMessageResult)});
  ExpectSlots(
      "IVelmoraPlugin", 2,
      {Slot(&IVelmoraPlugin::Init), Slot(&IVelmoraPlugin::Uninit), Slot(&IVelmoraPlugin::Start),
       Slot(&IVelmoraPlugin::InitiateStop), Slot(&IVelmoraPlugin::OpenSession), Slot(&IVelmoraPlugin::Send),
       Slot(&IVelmoraPlugin::CloseSession), Slot(&IVelmoraPlugin::VpnStateChanged),
       Slot(&IVelmoraPlugin::UpgradeStateChanged), Slot(&IVelmoraPlugin::DnsRedirectionDisrupted)});
  ExpectSlots("ISWGPlugin", 2,
              {Slot(&ISWGPlugin::Init), Slot(&ISWGPlugin::Uninit), Slot(&ISWGPlugin::Start),
               Slot(&ISWGPlugin::InitiateStop)});
  ExpectSlots(
      "ICloudDownloaderPlugin", 2,
      {Slot(&ICloudDownloaderPlugin::Register), Slot(&ICloudDownloaderPlugin::Unregister),
       Slot(&ICloudDownloaderPlugin::Start), Slot(&ICloudDownloaderPlugin::Stop),
       Slot(&ICloudDownloaderPlugin::UpdateParameters), Slot(&ICloudDownloaderPlugin::UserSessionChange)});
  ExpectSlots(
      "IVelmoraPluginCallback", 0,
      {Slot(&IVelmoraPluginCallback::Response), Slot(&IVelmoraPluginCallback::ErrorOccurred),
       Slot(&IVelmoraPluginCallback::SystemErrorOccurred),
       Slot(&IVelmoraPluginCallback::ProtectionStateChanged),
       Slot(&IVelmoraPluginCallback::ChangeDnsRedirectionMode),
       Slot(&IVelmoraPluginCallback::UpgradeDetailsChanged), Slot(&IVelmoraPluginCallback::PluginStopped)});
  ExpectSlots("ISWGPluginCallback", 0,
              {Slot(&ISWGPluginCallback::SystemErrorOccurred), Slot(&ISWGPluginCallback::SWGStateChanged),
               Slot(&ISWGPluginCallback::SWGStatsChanged), Slot(&ISWGPluginCallback::SWGPluginStopped)});
  ExpectSlots("IPluginMessagingCallback", 0, {Slot(&IPluginMessagingCallback::SendPluginMessage)});
  ExpectSlots(
      "ICloudDownloaderPluginCB", 0,
      {Slot(&ICloudDownloaderPluginCB::UpdateAvailable), Slot(&ICloudDownloaderPluginCB::UpdateInProgress)});

  // The message sink is the second base, one pointer behind the first.
  u32 (IVelmoraPlugin::*receive)(const char*, const char*, const char*, u64) =
      &IPluginMessageSink::ReceiveMessage;
  EXPECT_EQ(Decode(receive).adj, static_cast<std::ptrdiff_t>(sizeof(void*)));
  void (ISWGPlugin::*result)(const char*, const char*, u32) = &IPluginMessageSink::ReceiveMessageResult;
  EXPECT_EQ(Decode(result).adj, static_cast<std::ptrdiff_t>(sizeof(void*)));
  EXPECT_EQ(sizeof(InterfaceDescriptor), 2 * sizeof(void*));
}

// The example refuses every query, from its own thread, and reports its stop.
TEST(PluginSdkExample, TheDocumentedExamplePluginLoadsAndRefusesQueries) {
  test::TestRoot root;
  test::ScopedCaptureLog log;
  test::RecordingService service;
  test::InstallPlugin(HXT_EXAMPLE_PLUGIN, root.PluginsPath());
  PluginLoader* loader = nullptr;
  ASSERT_TRUE(PluginLoader::createSingletonInstance(loader)) << log.Dump();
  std::unique_ptr<PluginLoader, void (*)(PluginLoader*)> release(loader, &PluginLoader::releaseInstance);
  auto* dns = PluginLoader::QuickCreatePlugin<IVelmoraPlugin>(HXT_VELMORA_PLUGIN_ID);
  ASSERT_NE(dns, nullptr) << log.Dump();
  ASSERT_EQ(dns->Init("b", "l", "p", "1.0.0", "u", &service, &service, nullptr), 0u);
  ASSERT_EQ(dns->Start(), 0u);
  u32 handle = 0;
  ASSERT_EQ(dns->OpenSession(5, "192.0.2.53", HXT_TRANSPORT_UDP, &handle), 0u);
  // id 0x1234, recursion desired, one question: blocked.example A IN.
  const std::string query(
      "\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x07"
      "blocked\x07"
      "example\x00\x00\x01\x00\x01",
      33);
  ASSERT_EQ(dns->Send(handle, reinterpret_cast<const unsigned char*>(query.data()), 33u), 0u);
  ASSERT_EQ(dns->InitiateStop(), 0u);
  ASSERT_TRUE(service.WaitFor("", 2));

  const auto events = service.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(std::tie(events[0].name, events[0].handle, events[0].contextId, events[1].name),
            std::make_tuple("Response", handle, 5u, "PluginStopped"));
  EXPECT_EQ(static_cast<unsigned char>(events[0].text.at(3)) & 0x0f, 5) << "REFUSED";
  EXPECT_NE(events[0].thread, std::this_thread::get_id());
  EXPECT_EQ(dns->CloseSession(handle), 0u);
  dns->Uninit();
  EXPECT_TRUE(loader->DisposeInstance(dns));
}

}  // namespace
}  // namespace hxt
