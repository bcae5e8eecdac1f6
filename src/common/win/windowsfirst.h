// Included before every source file of ours in the Windows build (-include).
//
// The platform seams use the system's own operation names (RegisterEventSource,
// CreateMutex, StartServiceCtrlDispatcher, ...) and the file monitor the
// system's action names (FILE_ACTION_ADDED, ...). <windows.h> defines all of
// them as macros, and Boost.Asio pulls it into portable files, which would
// rename our declarations in some files and not in others. Including it first
// and dropping those macros keeps one meaning everywhere; the Windows adapters
// call the explicit A/W functions and use the portable action constants.
#pragma once

#include <winsock2.h>
// after winsock2.h, which must come first
#include <windows.h>

#undef CreateEvent
#undef CreateFileMapping
#undef CreateMutex
#undef FormatMessage
#undef GetComputerName
#undef GetModuleFileName
#undef GetTempPath
#undef LoadLibrary
#undef LookupAccountName
#undef OpenEvent
#undef OpenFileMapping
#undef OpenMutex
#undef OutputDebugString
#undef RegisterEventSource
#undef RegisterServiceCtrlHandler
#undef ReportEvent
#undef SHGetFolderPath
#undef StartServiceCtrlDispatcher
#undef interface

#undef FILE_ACTION_ADDED
#undef FILE_ACTION_REMOVED
#undef FILE_ACTION_MODIFIED
#undef FILE_ACTION_RENAMED_OLD_NAME
#undef FILE_ACTION_RENAMED_NEW_NAME

// The service's state and control codes keep the system's names and values.
#undef SERVICE_STOPPED
#undef SERVICE_START_PENDING
#undef SERVICE_STOP_PENDING
#undef SERVICE_RUNNING
#undef SERVICE_CONTROL_STOP
#undef SERVICE_CONTROL_PAUSE
#undef SERVICE_CONTROL_CONTINUE
#undef SERVICE_CONTROL_INTERROGATE
#undef SERVICE_CONTROL_SHUTDOWN
