// Crash dumps on Windows: an unhandled-exception filter writes a minidump
// through DbgHelp's MiniDumpWriteDump, which is loaded at run time so that a
// missing DbgHelp costs the dumps and nothing else.
//
// The dump is written by a helper thread while the crashing thread waits: a
// thread whose stack ran out has too little left for DbgHelp. An uncaught
// C++ exception ends in std::terminate, not in the filter, so the terminate
// handler raises the language runtime's exception code to come the same way.
#include "common/minidump.h"

#include <winsock2.h>

#include <windows.h>

#include <dbghelp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <exception>
#include <map>
#include <string>

#include "common/applog.h"
#include "common/win/widestring.h"

#ifndef HXT_BUILD_VERSION
#error "HXT_BUILD_VERSION must be defined by the build"
#endif

namespace hxt {

namespace {

using MiniDumpWriteDumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                                PMINIDUMP_EXCEPTION_INFORMATION,
                                                PMINIDUMP_USER_STREAM_INFORMATION,
                                                PMINIDUMP_CALLBACK_INFORMATION);

constexpr DWORD kMaxExecutablePath = 228;
constexpr DWORD kMaxDumpPath = MAX_PATH;
constexpr u32 kErrorFail = 0x80004005;
constexpr u32 kNoExceptionCode = 0;
constexpr const char* kInstall = "CExceptionHandlerEx::InstallGlobalExceptionHandler";
constexpr const char* kGenerate = "CExceptionHandlerEx::GenerateMiniDump";
constexpr const char* kPrune = "CExceptionHandlerEx::PruneMiniDumpFiles";

HANDLE g_guardMutex = nullptr;
UINT g_previousErrorMode = 0;
HMODULE g_dbgHelp = nullptr;
MiniDumpWriteDumpFunction g_writeDump = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;
std::terminate_handler g_previousTerminate = nullptr;
wchar_t g_dumpDirectory[kMaxDumpPath + 1];

u32 hresult(DWORD error) {
  return 0x80070000u | (error & 0xffffu);
}

// The table's name, else the system's text for the code.
std::string exceptionName(u32 code) {
  std::string name = ExceptionCodeName(code);
  if (name != "UNKNOWN") return name;
  char text[512] = {};
  DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  ::GetModuleHandleA("ntdll.dll"), code, 0, text, sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) text[--length] = '\0';
  return length > 0 ? std::string(text, length) : name;
}

bool directoryExists(const wchar_t* path) {
  DWORD attributes = ::GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The executable's full path, at most kMaxExecutablePath characters.
bool executablePath(std::wstring& path) {
  wchar_t buffer[kMaxExecutablePath + 1] = {};
  DWORD length = ::GetModuleFileNameW(nullptr, buffer, kMaxExecutablePath + 1);
  if (length == 0 || length > kMaxExecutablePath) {
    if (length != 0) ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  path.assign(buffer, length);
  return true;
}

std::wstring fileNamePart(const std::wstring& path) {
  std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// What the dump thread needs from the crashing one.
struct DumpRequest {
  EXCEPTION_POINTERS* pointers;
  DWORD threadId;
};

void writeDump(const DumpRequest& request) {
  if (g_writeDump == nullptr) return;
  std::wstring path;
  if (!executablePath(path)) {
    HXT_LOGF(LOG_LEVEL_ERROR, kGenerate, "GetModuleFileName failed, Error = 0x%.8X",
             hresult(::GetLastError()));
    return;
  }
  if (directoryExists(g_dumpDirectory)) path = std::wstring(g_dumpDirectory) + L"\\" + fileNamePart(path);
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  wchar_t suffix[64];
  std::swprintf(suffix, 64, L"_%hs_%.4d%.2d%.2d%.2d%.2d%.2d.mdmp", HXT_BUILD_VERSION, now.wYear, now.wMonth,
                now.wDay, now.wHour, now.wMinute, now.wSecond);
  path += suffix;
  const std::string shown = platform::WideToUtf8(path);
  HANDLE file =
      ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    HXT_LOGF(LOG_LEVEL_ERROR, kGenerate, "CreateFile failed to create file %s, Error = 0x%.8X", shown.c_str(),
             hresult(::GetLastError()));
    return;
  }
  MINIDUMP_EXCEPTION_INFORMATION information{request.threadId, request.pointers, FALSE};
  BOOL written = g_writeDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file, MiniDumpFilterMemory,
                             request.pointers != nullptr ? &information : nullptr, nullptr, nullptr);
  if (!written) {
    HXT_LOGF(LOG_LEVEL_ERROR, kGenerate, "MiniDumpWriteDump failed, Error = 0x%.8X",
             hresult(::GetLastError()));
  } else if (request.pointers != nullptr && request.pointers->ExceptionRecord != nullptr) {
    const u32 code = request.pointers->ExceptionRecord->ExceptionCode;
    HXT_LOGF(LOG_LEVEL_INFO, kGenerate,
             "UNHANDLED_EXCEPTION - (0x%.8X), %s. A minidump file is located at: %s", code,
             exceptionName(code).c_str(), shown.c_str());
  } else {
    HXT_LOGF(LOG_LEVEL_INFO, kGenerate, "UNHANDLED_EXCEPTION. A minidump file is located at: %s",
             shown.c_str());
  }
  ::CloseHandle(file);
}

DWORD WINAPI dumpThread(LPVOID parameter) {
  writeDump(*static_cast<DumpRequest*>(parameter));
  return 0;
}

void writeDumpFromHelperThread(EXCEPTION_POINTERS* pointers) {
  DumpRequest request{pointers, ::GetCurrentThreadId()};
  HANDLE thread = ::CreateThread(nullptr, 0, &dumpThread, &request, 0, nullptr);
  if (thread == nullptr) {
    writeDump(request);  // better a try on a short stack than no dump
    return;
  }
  ::WaitForSingleObject(thread, INFINITE);
  ::CloseHandle(thread);
}

LONG WINAPI unhandledExceptionFilter(EXCEPTION_POINTERS* pointers) {
  // No filter while the dump is written: a fault in here is not handled again.
  LPTOP_LEVEL_EXCEPTION_FILTER previous = g_previousFilter;
  ::SetUnhandledExceptionFilter(nullptr);
  writeDumpFromHelperThread(pointers);
  return previous != nullptr ? previous(pointers) : EXCEPTION_CONTINUE_SEARCH;
}

void terminateHandler() {
  ::RaiseException(kExceptionCodeCppThrow, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  std::abort();
}

}  // namespace

void PrepareThreadForCrashDumps() {
  // Room for the filter to start the dump thread after a stack overflow.
  ULONG guarantee = 64 * 1024;
  ::SetThreadStackGuarantee(&guarantee);
}

u32 CExceptionHandlerEx::InstallGlobalExceptionHandler() {
  char guardName[40];
  std::snprintf(guardName, sizeof guardName, "CExceptionHandlerEx_0x%.8X",
                static_cast<unsigned>(::GetCurrentProcessId()));
  HANDLE guard = ::CreateMutexA(nullptr, TRUE, guardName);
  if (guard == nullptr) {
    u32 error = hresult(::GetLastError());
    HXT_LOGF(LOG_LEVEL_ERROR, kInstall, "Mutex lock (%s) could not be created. Error = 0x%.8X", guardName,
             error);
    return error;
  }
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(guard);
    HXT_LOGF(LOG_LEVEL_WARNING, kInstall, "Mutex lock already exists (%s) for this process. Error = 0x%.8X",
             guardName, static_cast<u32>(ERROR_ALREADY_EXISTS));
    return 1;
  }
  g_guardMutex = guard;
  g_dbgHelp = ::LoadLibraryW(L"Dbghelp.dll");
  if (g_dbgHelp == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, kInstall, "Unable to load DbgHelp module. Error = 0x%.8X",
             hresult(::GetLastError()));
    return kErrorFail;
  }
  g_writeDump = reinterpret_cast<MiniDumpWriteDumpFunction>(
      reinterpret_cast<void*>(::GetProcAddress(g_dbgHelp, "MiniDumpWriteDump")));
  if (g_writeDump == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, kInstall, "Unable to locate MiniDumpWriteDump function entry point.");
    ::FreeLibrary(g_dbgHelp);
    g_dbgHelp = nullptr;
    return kErrorFail;
  }
  installed = true;
  g_previousErrorMode = ::SetErrorMode(0);
  updateLogPathName();
  g_previousFilter = ::SetUnhandledExceptionFilter(&unhandledExceptionFilter);
  g_previousTerminate = std::set_terminate(&terminateHandler);
  PrepareThreadForCrashDumps();
  PruneMiniDumpFiles();
  return 0;
}

CExceptionHandlerEx::~CExceptionHandlerEx() {
  if (installed) {
    ::SetUnhandledExceptionFilter(g_previousFilter);
    std::set_terminate(g_previousTerminate);
    ::SetErrorMode(g_previousErrorMode);
    g_writeDump = nullptr;
    ::FreeLibrary(g_dbgHelp);
    g_dbgHelp = nullptr;
  }
  if (g_guardMutex != nullptr) {
    ::ReleaseMutex(g_guardMutex);
    ::CloseHandle(g_guardMutex);
    g_guardMutex = nullptr;
  }
}

void CExceptionHandlerEx::updateLogPathName() {
  g_dumpDirectory[0] = L'\0';
  DWORD length = ::GetTempPathW(kMaxDumpPath + 1, g_dumpDirectory);
  if (length == 0 || length > kMaxDumpPath) {
    g_dumpDirectory[0] = L'\0';
    HXT_LOGF(LOG_LEVEL_ERROR, "CExceptionHandlerEx::updateLogPathName", "GetTempPath failed.  Error = 0x%.8X",
             hresult(length == 0 ? ::GetLastError() : ERROR_INSUFFICIENT_BUFFER));
    return;
  }
  while (length > 0 && g_dumpDirectory[length - 1] == L'\\') g_dumpDirectory[--length] = L'\0';
}

void CExceptionHandlerEx::GenerateMiniDump() {
  writeDumpFromHelperThread(nullptr);
}

void CExceptionHandlerEx::PruneMiniDumpFiles() {
  std::wstring executable;
  if (!executablePath(executable)) {
    HXT_LOGF(LOG_LEVEL_ERROR, kPrune, "GetModuleFileName failed.  Error = 0x%.8X", hresult(::GetLastError()));
    return;
  }
  const std::wstring version(HXT_BUILD_VERSION, HXT_BUILD_VERSION + std::strlen(HXT_BUILD_VERSION));
  std::wstring directory;
  std::wstring pattern;
  if (directoryExists(g_dumpDirectory)) {
    directory = g_dumpDirectory;
    pattern = directory + L"\\" + fileNamePart(executable) + L"_" + version + L"_??????????????.mdmp";
  } else {
    std::size_t slash = executable.find_last_of(L"\\/");
    directory = slash == std::wstring::npos ? L"." : executable.substr(0, slash);
    pattern = executable + L"_" + version + L"_??????????????.mdmp";
  }

  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    HXT_LOGF(LOG_LEVEL_DEBUG, kPrune, "There are no minidump files matching the search pattern: %s",
             platform::WideToUtf8(pattern).c_str());
    return;
  }
  // Oldest first; two files of the same creation time count once.
  std::map<u64, std::wstring> dumps;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const u64 created =
        (static_cast<u64>(found.ftCreationTime.dwHighDateTime) << 32) | found.ftCreationTime.dwLowDateTime;
    dumps.emplace(created, found.cFileName);
  } while (::FindNextFileW(search, &found));
  DWORD error = ::GetLastError();
  ::FindClose(search);
  if (error != ERROR_NO_MORE_FILES) {
    HXT_LOGF(LOG_LEVEL_ERROR, kPrune, "FindNextFile failed.  Error = 0x%.8X", hresult(error));
    return;
  }
  while (dumps.size() > kMiniDumpsKept) {
    const std::wstring oldest = directory + L"\\" + dumps.begin()->second;
    if (!::DeleteFileW(oldest.c_str())) {
      HXT_LOGF(LOG_LEVEL_WARNING, kPrune, "DeleteFile error 0x%.8X failed to delete %s",
               hresult(::GetLastError()), platform::WideToUtf8(oldest).c_str());
    }
    dumps.erase(dumps.begin());
  }
}

}  // namespace hxt
