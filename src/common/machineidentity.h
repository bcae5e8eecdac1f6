// Platform seam for the identity of the local computer account.
//
// Windows: GetComputerNameW + LookupAccountNameW + IsValidSid. POSIX: the 16
// bytes of the machine id ($HXT_ROOT/etc/machine-id when HXT_ROOT is set, so
// that a private root is self-contained; /etc/machine-id otherwise).
#pragma once

#include <vector>

namespace hxt::platform {

// False when the identity cannot be read or is not valid.
bool GetComputerAccountSid(std::vector<unsigned char>& sid);

}  // namespace hxt::platform
