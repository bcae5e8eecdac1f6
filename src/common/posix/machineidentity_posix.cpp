#include <cctype>
#include <fstream>
#include <string>

#include "common/knownfolders.h"
#include "common/machineidentity.h"

namespace hxt::platform {

namespace {
constexpr std::size_t kMachineIdDigits = 32;
}

bool GetComputerAccountSid(std::vector<unsigned char>& sid) {
  sid.clear();
  std::string root;
  if (GetServiceRoot(root) != 0) return false;
  std::ifstream in(root + "/etc/machine-id");
  std::string text;
  if (!in || !std::getline(in, text)) return false;
  if (text.size() != kMachineIdDigits) return false;
  bool allZero = true;
  for (std::size_t i = 0; i < kMachineIdDigits; i += 2) {
    if (!std::isxdigit(static_cast<unsigned char>(text[i])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
      sid.clear();
      return false;
    }
    auto byte = static_cast<unsigned char>(std::stoul(text.substr(i, 2), nullptr, 16));
    allZero = allZero && byte == 0;
    sid.push_back(byte);
  }
  // An all-zero id is the placeholder of an image that was never booted.
  if (allZero) sid.clear();
  return !sid.empty();
}

}  // namespace hxt::platform
