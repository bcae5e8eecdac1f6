// The reference plug-ins as DLLs: found and created by the service's plug-in
// loader, and the DNS-protection plug-in answering through a loopback
// upstream of the test's own.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/filesystem.hpp>
#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "agent/pluginloader.h"
#include "common/velmorautils.h"
#include "dnsmessage.h"
#include "fakes/capturelogger.h"
#include "hxtarrow/plugin.h"
#include "support/recordingservice.h"
#include "truststore.h"

namespace hxt {
namespace {

namespace fs = boost::filesystem;
namespace asio = boost::asio;
using namespace std::chrono_literals;

// The three DLLs in the Plugins folder and the loader over them.
class RefPluginsWin : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CVelmoraUtils::GetPluginsPath(folder_));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    for (const char* module : {HXT_DNSPROTECT_DLL, HXT_SWG_DLL, HXT_CLOUD_DOWNLOADER_DLL}) {
      fs::copy_file(module, fs::path(folder_) / fs::path(module).filename());
    }
    ASSERT_TRUE(PluginLoader::createSingletonInstance(loader_)) << log_.Dump();
  }
  void TearDown() override {
    if (loader_ != nullptr) PluginLoader::releaseInstance(loader_);
    fs::remove_all(folder_);
  }

  test::ScopedCaptureLog log_;
  std::string folder_;
  PluginLoader* loader_ = nullptr;
};

TEST_F(RefPluginsWin, EachDllOffersItsInterfaceToTheLoader) {
  const std::map<std::string, std::string> modules = {{HXT_VELMORA_PLUGIN_ID, "dnsprotect.dll"},
                                                      {HXT_SWG_PLUGIN_ID, "swg.dll"},
                                                      {HXT_CLOUD_DOWNLOADER_ID, "clouddownloader.dll"}};
  for (const auto& [id, file] : modules) {
    EXPECT_TRUE(log_.Has(LOG_LEVEL_INFO, "Adding interface " + id + " as available in " + file))
        << log_.Dump();
    IPlugin* object = nullptr;
    ASSERT_TRUE(loader_->CreateInstance(id.c_str(), object)) << id << "\n" << log_.Dump();
    EXPECT_TRUE(object->SupportsInterface(id.c_str(), 1)) << id;
    EXPECT_TRUE(loader_->DisposeInstance(object)) << id;
  }
}

// A resolver on 127.0.0.1 that answers every question with 192.0.2.1.
class LoopbackResolver {
 public:
  LoopbackResolver() : socket_(io_, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
    receive();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~LoopbackResolver() {
    io_.stop();
    thread_.join();
  }
  unsigned short port() const { return socket_.local_endpoint().port(); }

 private:
  void receive() {
    socket_.async_receive_from(
        asio::buffer(buffer_), peer_, [this](boost::system::error_code error, size_t size) {
          if (error) return;
          if (size > 12) {
            // The header and the question: the query's OPT record has no
            // place in front of the answer record.
            std::size_t end = 12;
            while (end < size && buffer_[end] != 0) end += 1 + static_cast<unsigned char>(buffer_[end]);
            std::string answer(buffer_.data(), std::min(end + 5, size));
            answer[2] = static_cast<char>(answer[2] | 0x80);  // a response
            answer[7] = 1;                                    // one answer record
            answer[11] = 0;
            answer += std::string("\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04\xc0\x00\x02\x01", 16);
            socket_.send_to(asio::buffer(answer), peer_, 0, error);
          }
          receive();
        });
  }

  asio::io_context io_;
  asio::ip::udp::socket socket_;
  asio::ip::udp::endpoint peer_;
  std::array<char, 512> buffer_{};
  std::thread thread_;
};

TEST_F(RefPluginsWin, DnsProtectionAnswersAndBlocksThroughALoopbackUpstream) {
  LoopbackResolver upstream;
  const fs::path profile = fs::temp_directory_path() / fs::unique_path("hxt-dnsprotect-%%%%%%");
  fs::create_directories(profile);
  std::ofstream((profile / "blocked.txt").string()) << "0.0.0.0 ads.example\n";
  std::ofstream((profile / "OrgInfo.json").string())
      << R"({"organization":"Test Org","dns":{"upstreams":[{"address":"127.0.0.1:)" << upstream.port()
      << R"("}],"blockLists":["blocked.txt"],"healthCheckIntervalMs":50,"queryTimeoutMs":1000}})";

  IPlugin* object = nullptr;
  ASSERT_TRUE(loader_->CreateInstance(HXT_VELMORA_PLUGIN_ID, object)) << log_.Dump();
  auto* plugin = static_cast<IVelmoraPlugin*>(object);
  test::RecordingService service;
  ASSERT_EQ(plugin->Init("", "", profile.string().c_str(), "1.0.0", "udid", &service, &service, nullptr), 0u);
  ASSERT_EQ(plugin->Start(), 0u);
  ASSERT_TRUE(test::WaitFor([&] {
    const auto states = service.Texts("ProtectionStateChanged");
    return !states.empty() && states.back().find(R"("protection_state":"protected")") != std::string::npos;
  }));

  struct Case {
    const char* name;
    std::string expected;  // the answer's last bytes: the record's address, or RCODE 3 in the flags
  } cases[] = {{"www.example", std::string("\xc0\x00\x02\x01", 4)}, {"x.ads.example", ""}};
  for (u32 context = 0; context < 2; ++context) {
    const Case& c = cases[context];
    u32 session = 0;
    ASSERT_EQ(plugin->OpenSession(context, "127.0.0.53:53", HXT_TRANSPORT_UDP, &session), 0u);
    const std::string query =
        dnsprotect::BuildQuery(c.name, dnsprotect::kTypeA, static_cast<u16>(context + 1));
    ASSERT_EQ(plugin->Send(session, reinterpret_cast<const unsigned char*>(query.data()), query.size()), 0u);
    ASSERT_TRUE(service.WaitFor("Response", context + 1)) << c.name;
    const std::string answer = service.Texts("Response")[context];
    ASSERT_GE(answer.size(), 12u) << c.name << ": " << answer;
    if (c.expected.empty()) {
      EXPECT_EQ(answer[3] & 0x0f, 3) << c.name;
    } else {
      EXPECT_EQ(answer.substr(answer.size() - 4), c.expected) << c.name;
    }
  }

  ASSERT_EQ(plugin->InitiateStop(), 0u);
  EXPECT_TRUE(service.WaitFor("PluginStopped"));
  plugin->Uninit();
  EXPECT_TRUE(loader_->DisposeInstance(object));
  fs::remove_all(profile);
}

// Without a CA file in the profile, TLS upstreams are checked against the
// system's roots, which Wine's store holds too; their self-signatures check
// out with the cross-built libcrypto.
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
