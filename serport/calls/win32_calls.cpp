#include "win32_calls.h"

Win32Calls win32_real_calls() {
    Win32Calls calls;
    calls.CreateFileA = ::CreateFileA;
    calls.GetFileType = ::GetFileType;
    calls.CloseHandle = ::CloseHandle;
    calls.SetupComm = ::SetupComm;
    calls.PurgeComm = ::PurgeComm;
    calls.SetCommTimeouts = ::SetCommTimeouts;
    calls.GetCommState = ::GetCommState;
    calls.SetCommState = ::SetCommState;
    calls.EscapeCommFunction = ::EscapeCommFunction;
    calls.GetCommModemStatus = ::GetCommModemStatus;
    calls.ClearCommError = ::ClearCommError;
    calls.SetCommBreak = ::SetCommBreak;
    calls.ClearCommBreak = ::ClearCommBreak;
    calls.FlushFileBuffers = ::FlushFileBuffers;
    calls.ReadFile = ::ReadFile;
    calls.WriteFile = ::WriteFile;
    calls.CreateThread = ::CreateThread;
    calls.CreateEventA = ::CreateEventA;
    calls.SetEvent = ::SetEvent;
    calls.ResetEvent = ::ResetEvent;
    calls.WaitForSingleObject = ::WaitForSingleObject;
    calls.InitializeCriticalSection = ::InitializeCriticalSection;
    calls.EnterCriticalSection = ::EnterCriticalSection;
    calls.LeaveCriticalSection = ::LeaveCriticalSection;
    calls.DeleteCriticalSection = ::DeleteCriticalSection;
    calls.Sleep = ::Sleep;
    calls.SleepEx = ::SleepEx;
    calls.timeBeginPeriod = ::timeBeginPeriod;
    calls.timeEndPeriod = ::timeEndPeriod;
    return calls;
}

Win32Calls win32_calls = win32_real_calls();
