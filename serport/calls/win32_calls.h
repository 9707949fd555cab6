// The platform calls of the Windows back end, reached through one table so that a test can make
// any of them fail with a chosen last-error value. The back end never calls these functions
// directly; GetLastError and SetLastError, which only carry the error, are called as they are.
#ifndef QUORVANE_WIN32_CALLS_H
#define QUORVANE_WIN32_CALLS_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <mmsystem.h>

struct Win32Calls {
    // The device.
    decltype(&::CreateFileA) CreateFileA;
    decltype(&::GetFileType) GetFileType;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::SetupComm) SetupComm;
    decltype(&::PurgeComm) PurgeComm;
    decltype(&::SetCommTimeouts) SetCommTimeouts;
    decltype(&::GetCommState) GetCommState;
    decltype(&::SetCommState) SetCommState;
    decltype(&::EscapeCommFunction) EscapeCommFunction;
    decltype(&::GetCommModemStatus) GetCommModemStatus;
    decltype(&::ClearCommError) ClearCommError;
    decltype(&::SetCommBreak) SetCommBreak;
    decltype(&::ClearCommBreak) ClearCommBreak;
    decltype(&::FlushFileBuffers) FlushFileBuffers;
    decltype(&::ReadFile) ReadFile;
    decltype(&::WriteFile) WriteFile;
    // The worker, its events and the ring locks.
    decltype(&::CreateThread) CreateThread;
    decltype(&::CreateEventA) CreateEventA;
    decltype(&::SetEvent) SetEvent;
    decltype(&::ResetEvent) ResetEvent;
    decltype(&::WaitForSingleObject) WaitForSingleObject;
    decltype(&::InitializeCriticalSection) InitializeCriticalSection;
    decltype(&::EnterCriticalSection) EnterCriticalSection;
    decltype(&::LeaveCriticalSection) LeaveCriticalSection;
    decltype(&::DeleteCriticalSection) DeleteCriticalSection;
    // Sleeps and the timer resolution.
    decltype(&::Sleep) Sleep;
    decltype(&::SleepEx) SleepEx;
    decltype(&::timeBeginPeriod) timeBeginPeriod;
    decltype(&::timeEndPeriod) timeEndPeriod;
};

// The table in use; a test may replace entries and put back win32_real_calls() afterwards.
extern Win32Calls win32_calls;
Win32Calls win32_real_calls();

#endif
