// Crash dumps: an unhandled fault or exception anywhere in the process leaves
// one dump file and one log line, and the number of dump files stays bounded.
//
// The service entry installs the handler once, early, through a static
// object. A dump file is named after the executable, the build version and
// the local time ("hxtarrowagent_1.0.0_20261206153012.mdmp") and lies in the
// temporary-files folder, or beside the executable when that folder does not
// exist. At installation the newest five such files are kept, older ones go.
//
// Linux: fatal signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT) are
// caught on an alternate signal stack, uncaught C++ exceptions through
// std::set_terminate. The dump is a text file (its format is in the README)
// written with async-signal-safe calls only; then the process dies by the
// signal it got (SIGABRT for an exception), so the service manager sees the
// crash. Each thread that should survive a stack overflow long enough to
// write its dump needs a stack of its own for the handler:
// PrepareThreadForCrashDumps gives the calling thread one.
#pragma once

#include <string>

#include "common/hxttypes.h"

namespace hxt {

constexpr unsigned kMiniDumpsKept = 5;
// The code an exception thrown by the language runtime is reported with.
constexpr u32 kExceptionCodeCppThrow = 0xE06D7363;

// Name of an exception code as the dump's log line gives it; "UNKNOWN" for
// codes outside the table.
const char* ExceptionCodeName(u32 code);

class CExceptionHandlerEx {
 public:
  CExceptionHandlerEx() = default;
  // Restores the handlers that were in force before installation.
  ~CExceptionHandlerEx();
  CExceptionHandlerEx(const CExceptionHandlerEx&) = delete;
  CExceptionHandlerEx& operator=(const CExceptionHandlerEx&) = delete;

  // 0 when installed; 1 when this process has a handler already (warning);
  // an HRESULT-style error code otherwise.
  u32 InstallGlobalExceptionHandler();

  // Writes a dump of the running process with no exception record.
  static void GenerateMiniDump();
  // Keeps the newest kMiniDumpsKept dump files of this executable and version.
  static void PruneMiniDumpFiles();

 private:
  void updateLogPathName();

  bool installed = false;
};

// Gives the calling thread an alternate signal stack for the crash handler
// (released when the thread ends). The installing thread gets one anyway.
void PrepareThreadForCrashDumps();

}  // namespace hxt
