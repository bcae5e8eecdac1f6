// <wincrypt.h> before OpenSSL's headers: OpenSSL undefines the names of its
// types that wincrypt.h takes as macros (X509_NAME, ...).
#include <wincrypt.h>

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "truststore.h"

namespace hxt::dnsprotect {

// A statically linked OpenSSL has no trust folder on Windows; the roots live
// in the system's "ROOT" certificate store, copied here one by one.
void LoadSystemTrust(boost::asio::ssl::context& context, boost::system::error_code& error) {
  error.clear();
  HCERTSTORE store = ::CertOpenSystemStoreW(0, L"ROOT");
  if (store == nullptr) {
    error.assign(static_cast<int>(::GetLastError()), boost::system::system_category());
    return;
  }
  X509_STORE* trust = ::SSL_CTX_get_cert_store(context.native_handle());
  int added = 0;
  PCCERT_CONTEXT certificate = nullptr;
  while ((certificate = ::CertEnumCertificatesInStore(store, certificate)) != nullptr) {
    const unsigned char* der = certificate->pbCertEncoded;
    X509* x509 = ::d2i_X509(nullptr, &der, static_cast<long>(certificate->cbCertEncoded));
    if (x509 == nullptr) continue;  // one the parser refuses spoils nothing else
    if (::X509_STORE_add_cert(trust, x509) == 1) ++added;
    ::X509_free(x509);
  }
  ::CertCloseStore(store, 0);
  if (added == 0) error = boost::asio::error::not_found;
}

}  // namespace hxt::dnsprotect
