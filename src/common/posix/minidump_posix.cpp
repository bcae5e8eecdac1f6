// Crash dumps on Linux.
//
// Everything the signal path needs (the executable's path and name, the dump
// folder, the build version, the local time offset, the previous handlers)
// is prepared at installation; the handler itself only formats into fixed
// buffers and calls open, write, read, close, stat, clock_gettime, sigaction,
// raise and backtrace_symbols_fd, all async-signal-safe (backtrace is made
// safe by a first call at installation, which loads the unwinder). The local
// time in the file name uses the UTC offset in force at installation.
#include "common/minidump.h"

#include <cxxabi.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <typeinfo>

#include <boost/filesystem.hpp>

#include "common/applog.h"
#include "common/knownfolders.h"

#ifndef HXT_BUILD_VERSION
#error "HXT_BUILD_VERSION must be defined by the build"
#endif

namespace hxt {

namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT};
constexpr std::size_t kSignalCount = sizeof kCrashSignals / sizeof kCrashSignals[0];
constexpr std::size_t kMaxExecutablePath = 228;  // longer paths are refused, as the dump names must fit
constexpr std::size_t kPathBuffer = 4096;
constexpr std::size_t kAltStackSize = 64 * 1024;
// A fault this close to the stack pointer is the stack running out.
constexpr std::uintptr_t kStackOverflowReach = 64 * 1024;
constexpr u32 kErrorAlreadyExists = 183;
constexpr u32 kErrorFail = 0x80004005;
constexpr const char* kInstall = "CExceptionHandlerEx::InstallGlobalExceptionHandler";
constexpr const char* kPrune = "CExceptionHandlerEx::PruneMiniDumpFiles";

// What the handler knows about one crash.
struct CrashRecord {
  u32 code = 0;
  int signo = 0;
  int signalCode = 0;
  std::uintptr_t address = 0;
  const char* typeName = nullptr;  // uncaught exceptions
  const char* what = nullptr;
};

// ---- state prepared at installation ---------------------------------------------

std::atomic<pid_t> g_installedPid{0};
std::atomic_flag g_dumping = ATOMIC_FLAG_INIT;
char g_executablePath[kPathBuffer];
char g_executableName[kPathBuffer];
char g_dumpDirectory[kPathBuffer];
long g_utcOffsetSeconds = 0;
struct sigaction g_previous[kSignalCount];
std::terminate_handler g_previousTerminate = nullptr;
alignas(16) char g_mainAltStack[kAltStackSize];

// ---- async-signal-safe formatting ---------------------------------------------------

// A fixed buffer that text is appended to; overflow truncates.
struct Text {
  char data[kPathBuffer + 512];
  std::size_t size = 0;

  Text& add(const char* s) {
    while (s != nullptr && *s != '\0' && size + 1 < sizeof data) data[size++] = *s++;
    data[size] = '\0';
    return *this;
  }
  Text& add(char c) {
    const char s[2] = {c, '\0'};
    return add(s);
  }
  Text& number(unsigned long long value, unsigned width = 1) {
    char digits[24];
    unsigned n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (n < width && n < sizeof digits) digits[n++] = '0';
    while (n > 0) add(digits[--n]);
    return *this;
  }
  Text& hex(unsigned long long value, unsigned width) {
    add("0x");
    for (int shift = static_cast<int>(width) * 4 - 4; shift >= 0; shift -= 4)
      add("0123456789ABCDEF"[(value >> shift) & 0xf]);
    return *this;
  }
};

void writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void writeText(int fd, const Text& text) {
  writeAll(fd, text.data, text.size);
}

struct LocalTime {
  long long year;
  unsigned month, day, hour, minute, second, millisecond;
};

// Civil date from days since 1970-01-01 (proleptic Gregorian).
LocalTime localNow() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  long long seconds = static_cast<long long>(now.tv_sec) + g_utcOffsetSeconds;
  long long days = seconds / 86400;
  long long rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  days += 719468;
  long long era = (days >= 0 ? days : days - 146096) / 146097;
  long long dayOfEra = days - era * 146097;
  long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  long long mp = (5 * dayOfYear + 2) / 153;
  LocalTime t{};
  t.day = static_cast<unsigned>(dayOfYear - (153 * mp + 2) / 5 + 1);
  t.month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  t.year = yearOfEra + era * 400 + (t.month <= 2 ? 1 : 0);
  t.hour = static_cast<unsigned>(rest / 3600);
  t.minute = static_cast<unsigned>(rest / 60 % 60);
  t.second = static_cast<unsigned>(rest % 60);
  t.millisecond = static_cast<unsigned>(now.tv_nsec / 1000000);
  return t;
}

// One record in the form the standard-error log sink writes, one write per
// line; under systemd standard error reaches the journal.
void logLine(const char* level, const char* function, const Text& message) {
  LocalTime t = localNow();
  Text prefix;
  prefix.number(static_cast<unsigned long long>(t.year), 4)
      .add('-')
      .number(t.month, 2)
      .add('-')
      .number(t.day, 2);
  prefix.add(' ').number(t.hour, 2).add(':').number(t.minute, 2).add(':').number(t.second, 2);
  prefix.add('.').number(t.millisecond, 3).add(" hxtarrowagent[").number(static_cast<unsigned>(::getpid()));
  prefix.add("] ").add(level).add(": ");
  Text header;
  header.add(prefix.data).add("Function: ").add(function).add(" (minidump_posix.cpp)\n");
  header.add(prefix.data)
      .add("Thread: ")
      .number(static_cast<unsigned long long>(::syscall(SYS_gettid)))
      .add('\n');
  header.add(prefix.data).add(message.data).add('\n');
  writeText(STDERR_FILENO, header);
}

u32 hresultFromErrno(int error) {
  return 0x80070000u | (static_cast<u32>(error) & 0xffffu);
}

void restoreDefaultHandlers() {
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  for (int signo : kCrashSignals) ::sigaction(signo, &fallback, nullptr);
}

void copyFile(int to, const char* from) {
  int fd = ::open(from, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char buffer[4096];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    writeAll(to, buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
}

// The dump path; empty when the executable's path is unknown.
void dumpPath(Text& path) {
  if (g_executablePath[0] == '\0') return;
  struct stat st {};
  if (g_dumpDirectory[0] != '\0' && ::stat(g_dumpDirectory, &st) == 0 && S_ISDIR(st.st_mode)) {
    path.add(g_dumpDirectory).add('/').add(g_executableName);
  } else {
    path.add(g_executablePath);
  }
  LocalTime t = localNow();
  path.add('_').add(HXT_BUILD_VERSION).add('_');
  path.number(static_cast<unsigned long long>(t.year), 4).number(t.month, 2).number(t.day, 2);
  path.number(t.hour, 2).number(t.minute, 2).number(t.second, 2).add(".mdmp");
}

void writeDump(const CrashRecord* record) {
  constexpr const char* kFunction = "CExceptionHandlerEx::GenerateMiniDump";
  Text path;
  dumpPath(path);
  if (path.size == 0) {
    Text message;
    message.add("readlink(/proc/self/exe) failed at installation, no dump written");
    logLine("error", kFunction, message);
    return;
  }
  int fd = ::open(path.data, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    Text message;
    message.add("open failed to create file ")
        .add(path.data)
        .add(", Error = ")
        .hex(hresultFromErrno(errno), 8);
    logLine("error", kFunction, message);
    return;
  }
  Text head;
  head.add("HXTARROW CRASH DUMP 1\nExecutable: ")
      .add(g_executablePath)
      .add("\nVersion: ")
      .add(HXT_BUILD_VERSION);
  head.add("\nProcess: ").number(static_cast<unsigned>(::getpid()));
  head.add("\nThread: ").number(static_cast<unsigned long long>(::syscall(SYS_gettid))).add('\n');
  if (record != nullptr) {
    head.add("Exception code: ")
        .hex(record->code, 8)
        .add("\nException name: ")
        .add(ExceptionCodeName(record->code));
    head.add('\n');
    if (record->signo != 0) {
      head.add("Signal: ").number(static_cast<unsigned>(record->signo)).add("\nSignal code: ");
      if (record->signalCode < 0) head.add('-');
      head.number(static_cast<unsigned>(record->signalCode < 0 ? -record->signalCode : record->signalCode));
      head.add("\nFault address: ").hex(record->address, 16).add('\n');
    }
    if (record->typeName != nullptr) head.add("Exception type: ").add(record->typeName).add('\n');
    if (record->what != nullptr) head.add("Exception text: ").add(record->what).add('\n');
  }
  writeText(fd, head);

  void* frames[64];
  int count = ::backtrace(frames, 64);
  Text section;
  section.add("Backtrace: ").number(static_cast<unsigned>(count)).add(" frames\n");
  writeText(fd, section);
  ::backtrace_symbols_fd(frames, count, fd);
  const char mapsHeader[] = "Memory map:\n";
  writeAll(fd, mapsHeader, sizeof mapsHeader - 1);
  copyFile(fd, "/proc/self/maps");
  ::close(fd);

  Text message;
  if (record != nullptr) {
    message.add("UNHANDLED_EXCEPTION - (")
        .hex(record->code, 8)
        .add("), ")
        .add(ExceptionCodeName(record->code));
    message.add(". A minidump file is located at: ").add(path.data);
  } else {
    message.add("UNHANDLED_EXCEPTION. A minidump file is located at: ").add(path.data);
  }
  logLine("info", kFunction, message);
}

u32 codeForSignal(int signo, const siginfo_t* info, const void* context) {
  switch (signo) {
    case SIGSEGV: {
      std::uintptr_t sp = 0;
#if defined(__x86_64__)
      sp = static_cast<std::uintptr_t>(static_cast<const ucontext_t*>(context)->uc_mcontext.gregs[REG_RSP]);
#elif defined(__aarch64__)
      sp = static_cast<std::uintptr_t>(static_cast<const ucontext_t*>(context)->uc_mcontext.sp);
#endif
      auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
      bool nearStack = sp != 0 && address + kStackOverflowReach > sp && address < sp + kStackOverflowReach;
      return nearStack ? 0xC00000FD : 0xC0000005;
    }
    case SIGBUS:
      return info->si_code == BUS_ADRALN ? 0x80000002 : 0xC0000006;
    case SIGFPE:
      switch (info->si_code) {
        case FPE_INTDIV:
          return 0xC0000094;
        case FPE_INTOVF:
          return 0xC0000095;
        case FPE_FLTDIV:
          return 0xC000008E;
        case FPE_FLTOVF:
          return 0xC0000091;
        case FPE_FLTUND:
          return 0xC0000093;
        case FPE_FLTRES:
          return 0xC000008F;
        case FPE_FLTSUB:
          return 0xC000008C;
        default:
          return 0xC0000090;
      }
    case SIGILL:
      return info->si_code == ILL_PRVOPC || info->si_code == ILL_PRVREG ? 0xC0000096 : 0xC000001D;
    case SIGTRAP:
      return info->si_code == TRAP_TRACE ? 0x80000004 : 0x80000003;
    default:
      return 0x40000015;
  }
}

void crashSignalHandler(int signo, siginfo_t* info, void* context) {
  // No handler while the dump is written: a fault in here ends the process.
  restoreDefaultHandlers();
  if (!g_dumping.test_and_set()) {
    CrashRecord record;
    record.code = codeForSignal(signo, info, context);
    record.signo = signo;
    record.signalCode = info->si_code;
    record.address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    writeDump(&record);
  }
  // Blocked until the handler returns, then fatal by default: the process
  // ends by the signal it got, whatever the instruction that raised it.
  ::raise(signo);
}

void terminateHandler() {
  restoreDefaultHandlers();
  if (!g_dumping.test_and_set()) {
    CrashRecord record;
    record.code = kExceptionCodeCppThrow;
    std::string what;
    if (const std::type_info* type = abi::__cxa_current_exception_type()) record.typeName = type->name();
    if (std::exception_ptr current = std::current_exception()) {
      try {
        std::rethrow_exception(current);
      } catch (const std::exception& e) {
        what = e.what();
      } catch (...) {
      }
    }
    if (!what.empty()) record.what = what.c_str();
    writeDump(&record);
  }
  std::abort();
}

bool setAlternateStack(void* memory, std::size_t size) {
  stack_t stack{};
  stack.ss_sp = memory;
  stack.ss_size = size;
  return ::sigaltstack(&stack, nullptr) == 0;
}

struct ThreadAltStack {
  std::unique_ptr<char[]> memory;
  ~ThreadAltStack() {
    if (!memory) return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    ::sigaltstack(&off, nullptr);
  }
};

bool matchesDumpName(const std::string& name, const std::string& prefix) {
  constexpr std::size_t kTimeDigits = 14;
  const std::string suffix = ".mdmp";
  return name.size() == prefix.size() + kTimeDigits + suffix.size() &&
         name.compare(0, prefix.size(), prefix) == 0 &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool readExecutablePath() {
  char path[kPathBuffer];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0 || static_cast<std::size_t>(n) > kMaxExecutablePath) return false;
  path[n] = '\0';
  std::strcpy(g_executablePath, path);
  const char* slash = std::strrchr(path, '/');
  std::strcpy(g_executableName, slash != nullptr ? slash + 1 : path);
  return true;
}

}  // namespace

void PrepareThreadForCrashDumps() {
  thread_local ThreadAltStack stack;
  if (stack.memory) return;
  stack.memory.reset(new char[kAltStackSize]);
  if (!setAlternateStack(stack.memory.get(), kAltStackSize)) stack.memory.reset();
}

u32 CExceptionHandlerEx::InstallGlobalExceptionHandler() {
  char guardName[40];
  std::snprintf(guardName, sizeof guardName, "CExceptionHandlerEx_0x%.8X", static_cast<unsigned>(::getpid()));
  // Keyed by the process id, as a named lock would be: a forked child is a
  // process of its own and installs its own handler.
  const pid_t self = ::getpid();
  pid_t owner = g_installedPid.load();
  do {
    if (owner == self) {
      HXT_LOGF(LOG_LEVEL_WARNING, kInstall, "Mutex lock already exists (%s) for this process. Error = 0x%.8X",
               guardName, hresultFromErrno(kErrorAlreadyExists));
      return 1;
    }
  } while (!g_installedPid.compare_exchange_weak(owner, self));
  if (!setAlternateStack(g_mainAltStack, sizeof g_mainAltStack)) {
    u32 error = hresultFromErrno(errno);
    g_installedPid = 0;
    HXT_LOGF(LOG_LEVEL_ERROR, kInstall, "Unable to set up the alternate signal stack. Error = 0x%.8X", error);
    return kErrorFail;
  }
  g_executablePath[0] = g_executableName[0] = '\0';
  if (!readExecutablePath()) {
    HXT_LOGF(LOG_LEVEL_ERROR, kInstall, "readlink(/proc/self/exe) failed, Error = 0x%.8X",
             hresultFromErrno(errno));
  }
  std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  g_utcOffsetSeconds = local.tm_gmtoff;
  // The first backtrace loads the unwinder (it allocates); later ones do not.
  void* frame[1];
  ::backtrace(frame, 1);
  g_dumping.clear();

  installed = true;
  updateLogPathName();
  struct sigaction action {};
  action.sa_sigaction = crashSignalHandler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < kSignalCount; ++i) ::sigaction(kCrashSignals[i], &action, &g_previous[i]);
  g_previousTerminate = std::set_terminate(terminateHandler);
  PruneMiniDumpFiles();
  return 0;
}

CExceptionHandlerEx::~CExceptionHandlerEx() {
  if (!installed) return;
  for (std::size_t i = 0; i < kSignalCount; ++i) ::sigaction(kCrashSignals[i], &g_previous[i], nullptr);
  std::set_terminate(g_previousTerminate);
  stack_t off{};
  off.ss_flags = SS_DISABLE;
  ::sigaltstack(&off, nullptr);
  g_installedPid = 0;
}

void CExceptionHandlerEx::updateLogPathName() {
  std::string directory = platform::GetTempFolder();
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  if (directory.size() >= sizeof g_dumpDirectory) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CExceptionHandlerEx::updateLogPathName", "GetTempPath failed.  Error = 0x%.8X",
             hresultFromErrno(ENAMETOOLONG));
    g_dumpDirectory[0] = '\0';
    return;
  }
  std::strcpy(g_dumpDirectory, directory.c_str());
}

void CExceptionHandlerEx::GenerateMiniDump() {
  writeDump(nullptr);
}

void CExceptionHandlerEx::PruneMiniDumpFiles() {
  namespace fs = boost::filesystem;
  if (g_executablePath[0] == '\0') {
    HXT_LOGF(LOG_LEVEL_ERROR, kPrune, "GetModuleFileName failed.  Error = 0x%.8X", hresultFromErrno(ENOENT));
    return;
  }
  boost::system::error_code ec;
  fs::path directory = fs::is_directory(g_dumpDirectory, ec) ? fs::path(g_dumpDirectory)
                                                             : fs::path(g_executablePath).parent_path();
  const std::string prefix = std::string(g_executableName) + "_" + HXT_BUILD_VERSION + "_";
  const std::string pattern = (directory / (prefix + "??????????????.mdmp")).string();

  // Oldest first; two files of the same time count once, as their key does.
  std::map<std::pair<long long, long>, fs::path> dumps;
  fs::directory_iterator it(directory, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const fs::path& path = it->path();
    if (!matchesDumpName(path.filename().string(), prefix)) continue;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
    dumps.emplace(std::make_pair(static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec), path);
  }
  if (ec) {
    HXT_LOGF(LOG_LEVEL_ERROR, kPrune, "readdir failed.  Error = 0x%.8X", hresultFromErrno(ec.value()));
    return;
  }
  if (dumps.empty()) {
    HXT_LOGF(LOG_LEVEL_DEBUG, kPrune, "There are no minidump files matching the search pattern: %s",
             pattern.c_str());
    return;
  }
  while (dumps.size() > kMiniDumpsKept) {
    const fs::path& oldest = dumps.begin()->second;
    if (::unlink(oldest.c_str()) != 0) {
      HXT_LOGF(LOG_LEVEL_WARNING, kPrune, "unlink error 0x%.8X failed to delete %s", hresultFromErrno(errno),
               oldest.c_str());
    }
    dumps.erase(dumps.begin());
  }
}

}  // namespace hxt
