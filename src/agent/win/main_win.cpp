// Process entry of the service on Windows. The service has no window; the
// arguments reach the portable entry as the C runtime parsed them.
#include <winsock2.h>

#include <windows.h>

#include <cstdlib>

#include "agent/service.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  return hxt::ServiceProcessMain(static_cast<u32>(__argc), __argv);
}
