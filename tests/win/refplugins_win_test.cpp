// The reference plug-ins as DLLs, found and created by the service's plug-in loader (what they answer:
// tests/win/sockfilter_e2e.sh), and the DNS-protection plug-in's trust roots from the system store.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <boost/asio/ssl/context.hpp>
#include <boost/filesystem.hpp>
#include <memory>
#include <string>
#include <utility>

#include "agent/pluginloader.h"
#include "common/velmorautils.h"
#include "fakes/capturelogger.h"
#include "hxtarrow/plugin.h"
#include "truststore.h"

namespace hxt {
namespace {

namespace fs = boost::filesystem;
namespace asio = boost::asio;

// Each DLL in the Plugins folder offers its interface to the loader, which
// creates and disposes of an instance.
TEST(RefPluginsWin, EachDllOffersItsInterfaceToTheLoader) {
  test::ScopedCaptureLog log;
  std::string folder;
  ASSERT_TRUE(CVelmoraUtils::GetPluginsPath(folder));
  fs::remove_all(folder);
  fs::create_directories(folder);
  const std::pair<std::string, fs::path> plugins[] = {{HXT_VELMORA_PLUGIN_ID, HXT_DNSPROTECT_DLL},
                                                      {HXT_SWG_PLUGIN_ID, HXT_SWG_DLL},
                                                      {HXT_CLOUD_DOWNLOADER_ID, HXT_CLOUD_DOWNLOADER_DLL}};
  for (const auto& [id, dll] : plugins) fs::copy_file(dll, fs::path(folder) / dll.filename());
  PluginLoader* loader = nullptr;
  ASSERT_TRUE(PluginLoader::createSingletonInstance(loader)) << log.Dump();
  for (const auto& [id, dll] : plugins) {
    EXPECT_TRUE(
        log.Has(LOG_LEVEL_INFO, "Adding interface " + id + " as available in " + dll.filename().string()))
        << log.Dump();
    IPlugin* object = nullptr;
    ASSERT_TRUE(loader->CreateInstance(id.c_str(), object)) << id << "\n" << log.Dump();
    EXPECT_TRUE(object->SupportsInterface(id.c_str(), 1)) << id;
    EXPECT_TRUE(loader->DisposeInstance(object)) << id;
  }
  PluginLoader::releaseInstance(loader);
  fs::remove_all(folder);
}

// Without a CA file in the profile, TLS upstreams are checked against the system's roots, which Wine's store
// holds too; their self-signatures check out with the cross-built libcrypto.
TEST(DnsProtectTrustWin, LoadsTheSystemRootsAndVerifiesThem) {
  asio::ssl::context context(asio::ssl::context::tls_client);
  boost::system::error_code error;
  dnsprotect::LoadSystemTrust(context, error);
  ASSERT_FALSE(error) << error.message();
  X509_STORE* store = ::SSL_CTX_get_cert_store(context.native_handle());
  STACK_OF(X509_OBJECT)* objects = ::X509_STORE_get0_objects(store);
  int verified = 0;
  for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
    X509* root = ::X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
    std::unique_ptr<X509_STORE_CTX, decltype(&::X509_STORE_CTX_free)> check(::X509_STORE_CTX_new(),
                                                                            &::X509_STORE_CTX_free);
    if (root == nullptr || ::X509_STORE_CTX_init(check.get(), store, root, nullptr) != 1) continue;
    ::X509_STORE_CTX_set_flags(check.get(), X509_V_FLAG_CHECK_SS_SIGNATURE | X509_V_FLAG_NO_CHECK_TIME);
    if (::X509_verify_cert(check.get()) == 1) ++verified;
  }
  EXPECT_GT(verified, 0);
}

}  // namespace
}  // namespace hxt
