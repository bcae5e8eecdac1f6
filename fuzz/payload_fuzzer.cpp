// libFuzzer target for the plug-in payload parsers. Built twice, once per
// parser (HXT_FUZZ_PARSER), by `./hxt fuzz`.
#include <cstddef>
#include <cstdint>
#include <string>

#include "agent/velmorapluginjsonutils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The plug-ins hand NUL-terminated text: anything after a NUL is unseen.
  std::string text(reinterpret_cast<const char*>(data), size);
#if HXT_FUZZ_PARSER == 1
  hxt::ParsedRedirect record;
  bool ok = hxt::CVelmoraPluginJsonUtils::ParseRedirectPayload(text.c_str(), record);
#else
  hxt::ParsedProtectionState record;
  bool ok = hxt::CVelmoraPluginJsonUtils::ParseProtectionStatePayload(text.c_str(), record);
#endif
  // A failed parse always says why; a successful one leaves no error.
  if (ok != record.valid || ok == !record.error.empty()) __builtin_trap();
  return 0;
}
