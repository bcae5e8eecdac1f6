# OpenSSL for the Windows build: libssl and libcrypto as static libraries,
# cross-built once from Debian's own OpenSSL sources by `./hxt win` (see
# build_openssl there) and installed into HXT_OPENSSL_ROOT. The DNS-protection
# plug-in links them for its TLS upstreams; nothing else of the Windows build
# needs OpenSSL.

set(HXT_OPENSSL_ROOT "" CACHE PATH "OpenSSL 3 built for mingw-w64 (include/, lib/); `./hxt win` builds it")
if(NOT EXISTS "${HXT_OPENSSL_ROOT}/lib/libssl.a" OR NOT EXISTS "${HXT_OPENSSL_ROOT}/include/openssl/ssl.h")
  message(FATAL_ERROR "HXT_OPENSSL_ROOT must name OpenSSL 3 built for mingw-w64 (run `./hxt win`)")
endif()

add_library(OpenSSL::Crypto STATIC IMPORTED)
set_target_properties(OpenSSL::Crypto PROPERTIES
  IMPORTED_LOCATION ${HXT_OPENSSL_ROOT}/lib/libcrypto.a
  INTERFACE_INCLUDE_DIRECTORIES ${HXT_OPENSSL_ROOT}/include
  # What OpenSSL's mingw64 configuration itself links with.
  INTERFACE_LINK_LIBRARIES "ws2_32;gdi32;crypt32")
add_library(OpenSSL::SSL STATIC IMPORTED)
set_target_properties(OpenSSL::SSL PROPERTIES
  IMPORTED_LOCATION ${HXT_OPENSSL_ROOT}/lib/libssl.a
  INTERFACE_LINK_LIBRARIES OpenSSL::Crypto)
