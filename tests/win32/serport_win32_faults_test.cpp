// What a pty under Wine cannot show, reached through the table of Windows calls: each failure
// code with the last error it leaves behind, the probe verdicts, the order of the calls in Open
// and Close, the settings Open writes, the line-control mappings, the worker's ends, and no
// handle or lock left behind. Calls not made to fail go through to the real port.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <cstring>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "com_line.h"
#include "open_refusals.h"
#include "serport.h"
#include "win32_calls.h"

namespace {

const Win32Calls g_real = win32_real_calls();
const DWORD g_mainThread = GetCurrentThreadId();
bool on_main() { return GetCurrentThreadId() == g_mainThread; }

// Which call fails, on which of its uses, on which thread, with which last error.
struct Fault {
    const char* call;
    int nth;
    DWORD error;
    bool onWorker;
};

// The worker may read the fault while a test installs the next one: each gets its own slot,
// published whole.
Fault g_slots[64];
std::atomic<int> g_nextSlot{0};
std::atomic<const Fault*> g_fault{nullptr};
std::atomic<int> g_uses{0};

void inject(const char* call, DWORD error, int nth = 1, bool onWorker = false) {
    Fault& slot = g_slots[++g_nextSlot % 64];
    slot = Fault{call, nth, error, onWorker};
    g_uses = 0;
    g_fault = &slot;
}

bool fails(const char* call) {
    const Fault* fault = g_fault.load();
    if (fault == nullptr || std::strcmp(fault->call, call) != 0 || on_main() == fault->onWorker) return false;
    if (++g_uses != fault->nth) return false;
    SetLastError(fault->error);
    return true;
}

// The application thread's calls in order, the handles open now, the locks not yet deleted.
std::mutex g_mutex;
std::vector<std::string> g_log;
std::map<HANDLE, std::string> g_live;
int g_locks = 0;
std::vector<DCB> g_setStates;     // every record given to SetCommState
DCB g_gotState;                   // the last record GetCommState returned
std::vector<uint8_t> g_written;   // what reached the device

void log_call(const std::string& entry) {
    if (!on_main()) return;
    std::lock_guard<std::mutex> hold(g_mutex);
    g_log.push_back(entry);
}

void track(HANDLE h, const char* role) {
    std::lock_guard<std::mutex> hold(g_mutex);
    g_live[h] = role;
}

// Scripted answers.
std::atomic<bool> g_fakeFileType{false};
std::atomic<DWORD> g_fileType{FILE_TYPE_CHAR};
std::atomic<DWORD> g_fileTypeError{NO_ERROR};
std::atomic<DWORD> g_modemStatus{0};
std::atomic<bool> g_fakeErrorMask{false};
std::atomic<DWORD> g_errorMask{0};
std::atomic<bool> g_oddDeviceFields{false};  // GetCommState reports unusual reserved fields
std::atomic<int> g_readSize{-1};             // the size of the worker's latest read
std::atomic<bool> g_stallWrites{false};      // the driver takes nothing
std::atomic<bool> g_holdNextWrite{false};    // the next write waits for g_release
std::atomic<bool> g_inHeldWrite{false};
HANDLE g_release = CreateEventA(NULL, TRUE, FALSE, NULL);
std::atomic<bool> g_workerEndsAfterTheWait{false};  // Close's wait gives up just before it ends

// Synchronous calls on one handle wait for each other on Windows (Wine lets them overlap): a
// write that flow control holds off holds every device call behind it until it returns, which
// it does once the write time-out in force has passed.
std::atomic<bool> g_serialised{false};
std::atomic<bool> g_heldOff{false};
std::atomic<DWORD> g_writeTimeout{0};
std::mutex g_deviceBusy;

void wait_for_device() {
    if (g_serialised) std::lock_guard<std::mutex> behind(g_deviceBusy);
}

BOOL held_off_write(LPDWORD put) {
    std::lock_guard<std::mutex> busy(g_deviceBusy);
    g_inHeldWrite = true;
    g_real.WaitForSingleObject(g_release, g_writeTimeout != 0 ? g_writeTimeout.load() : INFINITE);
    *put = 0;
    return TRUE;
}

HANDLE WINAPI fake_CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE templ) {
    log_call("CreateFileA");
    if (fails("CreateFileA")) return INVALID_HANDLE_VALUE;
    HANDLE h = g_real.CreateFileA(name, access, share, security, disposition, flags, templ);
    if (h != INVALID_HANDLE_VALUE) track(h, "device");
    return h;
}

DWORD WINAPI fake_GetFileType(HANDLE h) {
    log_call("GetFileType");
    if (!g_fakeFileType) return g_real.GetFileType(h);
    SetLastError(g_fileTypeError);
    return g_fileType;
}

BOOL WINAPI fake_CloseHandle(HANDLE h) {
    std::string role = "?";
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        auto it = g_live.find(h);
        if (it != g_live.end()) { role = it->second; g_live.erase(it); }
    }
    if (role == "thread" && g_workerEndsAfterTheWait) g_real.WaitForSingleObject(h, 2000);
    log_call("CloseHandle(" + role + ")");
    return g_real.CloseHandle(h);
}

BOOL WINAPI fake_SetupComm(HANDLE h, DWORD in, DWORD out) {
    log_call("SetupComm(" + std::to_string(in) + "," + std::to_string(out) + ")");
    return fails("SetupComm") ? FALSE : g_real.SetupComm(h, in, out);
}

BOOL WINAPI fake_PurgeComm(HANDLE h, DWORD flags) {
    log_call("PurgeComm(" + std::to_string(flags) + ")");
    wait_for_device();
    return fails("PurgeComm") ? FALSE : g_real.PurgeComm(h, flags);
}

BOOL WINAPI fake_SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
    log_call("SetCommTimeouts(" + std::to_string(t->ReadIntervalTimeout) + "," +
             std::to_string(t->ReadTotalTimeoutMultiplier) + "," + std::to_string(t->ReadTotalTimeoutConstant) +
             "," + std::to_string(t->WriteTotalTimeoutMultiplier) + "," +
             std::to_string(t->WriteTotalTimeoutConstant) + ")");
    g_writeTimeout = t->WriteTotalTimeoutConstant;
    return fails("SetCommTimeouts") ? FALSE : g_real.SetCommTimeouts(h, t);
}

BOOL WINAPI fake_GetCommState(HANDLE h, LPDCB dcb) {
    log_call("GetCommState");
    if (fails("GetCommState")) return FALSE;
    if (!g_real.GetCommState(h, dcb)) return FALSE;
    if (g_oddDeviceFields) {
        dcb->ErrorChar = '!';
        dcb->EofChar = 0x1A;
        dcb->EvtChar = '~';
        dcb->fDummy2 = 0x5A5A;
    }
    std::lock_guard<std::mutex> hold(g_mutex);
    g_gotState = *dcb;
    return TRUE;
}

BOOL WINAPI fake_SetCommState(HANDLE h, LPDCB dcb) {
    log_call("SetCommState");
    wait_for_device();
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        g_setStates.push_back(*dcb);
    }
    return fails("SetCommState") ? FALSE : g_real.SetCommState(h, dcb);
}

// A pty has no modem lines: the line calls succeed here without reaching it.
BOOL WINAPI fake_EscapeCommFunction(HANDLE, DWORD function) {
    log_call("EscapeCommFunction(" + std::to_string(function) + ")");
    wait_for_device();
    return fails("EscapeCommFunction") ? FALSE : TRUE;
}

BOOL WINAPI fake_GetCommModemStatus(HANDLE, LPDWORD status) {
    log_call("GetCommModemStatus");
    if (fails("GetCommModemStatus")) return FALSE;
    *status = g_modemStatus;
    return TRUE;
}

BOOL WINAPI fake_ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT status) {
    log_call("ClearCommError");
    wait_for_device();
    if (fails("ClearCommError")) return FALSE;
    if (!g_real.ClearCommError(h, errors, status)) return FALSE;
    if (g_fakeErrorMask) *errors = g_errorMask;
    return TRUE;
}

BOOL WINAPI fake_SetCommBreak(HANDLE h) {
    log_call("SetCommBreak");
    return fails("SetCommBreak") ? FALSE : g_real.SetCommBreak(h);
}

BOOL WINAPI fake_ClearCommBreak(HANDLE h) {
    log_call("ClearCommBreak");
    return fails("ClearCommBreak") ? FALSE : g_real.ClearCommBreak(h);
}

BOOL WINAPI fake_FlushFileBuffers(HANDLE h) {
    log_call("FlushFileBuffers");
    return fails("FlushFileBuffers") ? FALSE : g_real.FlushFileBuffers(h);
}

BOOL WINAPI fake_ReadFile(HANDLE h, LPVOID buf, DWORD len, LPDWORD got, LPOVERLAPPED overlapped) {
    g_readSize = (int)len;
    return fails("ReadFile") ? FALSE : g_real.ReadFile(h, buf, len, got, overlapped);
}

BOOL WINAPI fake_WriteFile(HANDLE h, LPCVOID buf, DWORD len, LPDWORD put, LPOVERLAPPED overlapped) {
    if (fails("WriteFile")) return FALSE;
    if (g_holdNextWrite.exchange(false)) {
        g_inHeldWrite = true;
        g_real.WaitForSingleObject(g_release, INFINITE);
    }
    if (g_heldOff) return held_off_write(put);
    if (g_stallWrites) { *put = 0; return TRUE; }
    if (!g_real.WriteFile(h, buf, len, put, overlapped)) return FALSE;
    std::lock_guard<std::mutex> hold(g_mutex);
    const uint8_t* bytes = static_cast<const uint8_t*>(buf);
    g_written.insert(g_written.end(), bytes, bytes + *put);
    return TRUE;
}

HANDLE WINAPI fake_CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE entry,
                                LPVOID arg, DWORD flags, LPDWORD id) {
    bool plain = security == NULL && stack == 0 && entry == &SerPort::txrx_thread_start && arg != NULL &&
                 flags == 0 && id == NULL;
    log_call(plain ? "CreateThread" : "CreateThread(unexpected arguments)");
    if (fails("CreateThread")) return NULL;
    HANDLE h = g_real.CreateThread(security, stack, entry, arg, flags, id);
    if (h != NULL) track(h, "thread");
    return h;
}

HANDLE WINAPI fake_CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manual, BOOL initial, LPCSTR name) {
    bool plain = security == NULL && manual && !initial && name == NULL;
    log_call(plain ? "CreateEventA" : "CreateEventA(unexpected arguments)");
    if (fails("CreateEventA")) return NULL;
    HANDLE h = g_real.CreateEventA(security, manual, initial, name);
    if (h != NULL) track(h, "event");
    return h;
}

BOOL WINAPI fake_ResetEvent(HANDLE h) {
    log_call("ResetEvent");
    return g_real.ResetEvent(h);
}

DWORD WINAPI fake_WaitForSingleObject(HANDLE h, DWORD ms) {
    log_call("WaitForSingleObject(" + std::to_string(ms) + ")");
    if (fails("WaitForSingleObject")) return WAIT_FAILED;
    if (fails("WaitTimesOut")) return WAIT_TIMEOUT;
    if (fails("WakesAtOnce")) return WAIT_OBJECT_0;  // a late event for bytes already taken
    return g_real.WaitForSingleObject(h, ms);
}

VOID WINAPI fake_InitializeCriticalSection(LPCRITICAL_SECTION lock) {
    log_call("InitializeCriticalSection");
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        ++g_locks;
    }
    g_real.InitializeCriticalSection(lock);
}

VOID WINAPI fake_DeleteCriticalSection(LPCRITICAL_SECTION lock) {
    log_call("DeleteCriticalSection");
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        --g_locks;
    }
    g_real.DeleteCriticalSection(lock);
}

VOID WINAPI fake_Sleep(DWORD ms) {
    log_call("Sleep(" + std::to_string(ms) + ")");
    g_real.Sleep(ms);
}

DWORD WINAPI fake_SleepEx(DWORD ms, BOOL alertable) {
    log_call("SleepEx(" + std::to_string(ms) + "," + (alertable ? "TRUE" : "FALSE") + ")");
    return g_real.SleepEx(ms, alertable);
}

MMRESULT WINAPI fake_timeBeginPeriod(UINT period) {
    log_call("timeBeginPeriod(" + std::to_string(period) + ")");
    return g_real.timeBeginPeriod(period);
}

MMRESULT WINAPI fake_timeEndPeriod(UINT period) {
    log_call("timeEndPeriod(" + std::to_string(period) + ")");
    return g_real.timeEndPeriod(period);
}

Win32Calls fake_calls() {
    Win32Calls calls = g_real;
    calls.CreateFileA = fake_CreateFileA;
    calls.GetFileType = fake_GetFileType;
    calls.CloseHandle = fake_CloseHandle;
    calls.SetupComm = fake_SetupComm;
    calls.PurgeComm = fake_PurgeComm;
    calls.SetCommTimeouts = fake_SetCommTimeouts;
    calls.GetCommState = fake_GetCommState;
    calls.SetCommState = fake_SetCommState;
    calls.EscapeCommFunction = fake_EscapeCommFunction;
    calls.GetCommModemStatus = fake_GetCommModemStatus;
    calls.ClearCommError = fake_ClearCommError;
    calls.SetCommBreak = fake_SetCommBreak;
    calls.ClearCommBreak = fake_ClearCommBreak;
    calls.FlushFileBuffers = fake_FlushFileBuffers;
    calls.ReadFile = fake_ReadFile;
    calls.WriteFile = fake_WriteFile;
    calls.CreateThread = fake_CreateThread;
    calls.CreateEventA = fake_CreateEventA;
    calls.ResetEvent = fake_ResetEvent;
    calls.WaitForSingleObject = fake_WaitForSingleObject;
    calls.InitializeCriticalSection = fake_InitializeCriticalSection;
    calls.DeleteCriticalSection = fake_DeleteCriticalSection;
    calls.Sleep = fake_Sleep;
    calls.SleepEx = fake_SleepEx;
    calls.timeBeginPeriod = fake_timeBeginPeriod;
    calls.timeEndPeriod = fake_timeEndPeriod;
    return calls;
}

using Log = std::vector<std::string>;

class Seam : public testing::Test {
protected:
    void SetUp() override {
        g_fault = nullptr;
        g_fakeFileType = false;
        g_fakeErrorMask = false;
        g_oddDeviceFields = false;
        g_stallWrites = false;
        g_holdNextWrite = false;
        g_inHeldWrite = false;
        g_workerEndsAfterTheWait = false;
        g_serialised = false;
        g_heldOff = false;
        g_readSize = -1;
        ResetEvent(g_release);
        {
            std::lock_guard<std::mutex> hold(g_mutex);
            g_log.clear();
            g_live.clear();
            g_locks = 0;
            g_setStates.clear();
            g_written.clear();
        }
        win32_calls = fake_calls();
    }

    void TearDown() override {
        g_fault = nullptr;
        g_stallWrites = false;
        SetEvent(g_release);
        port.Close();
        win32_calls = g_real;
    }

    void open(int bitrate = 115200, const char* format = "8N1") {
        ASSERT_EQ(port.Open(port_name(), bitrate, format, 32), 0);
    }

    static Log takeLog() {
        std::lock_guard<std::mutex> hold(g_mutex);
        Log log;
        log.swap(g_log);
        return log;
    }
    static bool nothingLeft() {
        std::lock_guard<std::mutex> hold(g_mutex);
        return g_live.empty() && g_locks == 0;
    }
    static std::vector<uint8_t> written() {
        std::lock_guard<std::mutex> hold(g_mutex);
        return g_written;
    }
    static DCB lastSetState() {
        std::lock_guard<std::mutex> hold(g_mutex);
        return g_setStates.back();
    }

    SerPort port;
};

bool contains(const Log& log, const std::string& entry) {
    for (const std::string& e : log)
        if (e == entry) return true;
    return false;
}

// --- Open ------------------------------------------------------------------------------------

struct OpenFault { const char* call; int nth; int code; bool leavesOpen; };
void PrintTo(const OpenFault& f, std::ostream* out) { *out << f.call << " #" << f.nth; }

class OpenFailure : public Seam, public testing::WithParamInterface<OpenFault> {};

TEST_P(OpenFailure, ReturnsItsCodeKeepsTheLastErrorAndCloseReleasesEverything) {
    const OpenFault& f = GetParam();
    inject(f.call, ERROR_IO_DEVICE, f.nth);
    EXPECT_EQ(port.Open(port_name(), 115200, "8N1", 32), f.code);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_DEVICE);
    EXPECT_EQ(port.isOpen(), f.leavesOpen);
    if (f.leavesOpen) {
        EXPECT_EQ(port.Check(port_name()), SERPORT_E_ALREADY_OPEN);
    }
    port.Close();
    EXPECT_TRUE(nothingLeft());
    EXPECT_FALSE(contains(takeLog(), "CloseHandle(?)"));
    g_fault = nullptr;
    EXPECT_EQ(port.Open(port_name(), 115200, "8N1", 32), 0);
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, OpenFailure,
    testing::Values(OpenFault{"CreateFileA", 1, SERPORT_E_CREATEFILE, false},
                    OpenFault{"SetupComm", 1, SERPORT_E_SETUPCOMM, false},
                    OpenFault{"SetCommTimeouts", 1, SERPORT_E_SETCOMMTIMEOUTS, false},
                    OpenFault{"GetCommState", 1, SERPORT_E_GETCOMMSTATE, false},
                    OpenFault{"SetCommState", 1, SERPORT_E_SETCOMMSTATE, false},
                    OpenFault{"CreateEventA", 1, SERPORT_E_CREATEEVENT, true},
                    OpenFault{"CreateEventA", 2, SERPORT_E_CREATEEVENT, true},
                    OpenFault{"CreateEventA", 3, SERPORT_E_CREATEEVENT, true},
                    OpenFault{"CreateThread", 1, SERPORT_E_CREATETHREAD, true},
                    OpenFault{"WaitForSingleObject", 1, SERPORT_E_WAITFORSINGLEOBJECT, true},
                    OpenFault{"WaitTimesOut", 1, SERPORT_E_WAITFORSINGLEOBJECT, true}));

TEST_F(Seam, OpenAndCloseMakeTheirCallsInOrder) {
    open();
    EXPECT_EQ(takeLog(), (Log{"CreateFileA", "SetupComm(32768,32768)", "PurgeComm(5)",
                              "SetCommTimeouts(4294967295,0,0,0,500)", "GetCommState", "SetCommState",
                              "PurgeComm(15)", "InitializeCriticalSection", "InitializeCriticalSection",
                              "CreateEventA", "CreateEventA", "CreateEventA", "CreateThread",
                              "WaitForSingleObject(2000)", "ResetEvent"}));
    port.Close();
    EXPECT_EQ(takeLog(), (Log{"WaitForSingleObject(5000)", "CloseHandle(thread)", "PurgeComm(15)",
                              "SetCommState", "CloseHandle(event)", "CloseHandle(event)", "CloseHandle(event)",
                              "DeleteCriticalSection", "DeleteCriticalSection", "CloseHandle(device)"}));
    DCB restored = lastSetState();
    EXPECT_EQ(std::memcmp(&restored, &g_gotState, sizeof restored), 0) << "Close writes back the device's own settings";
    EXPECT_TRUE(nothingLeft());
}

TEST_F(Seam, OpenWritesAPlainLineAndKeepsWhatItDoesNotSet) {
    g_oddDeviceFields = true;
    open();
    DCB dcb = lastSetState();
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fDtrControl, (DWORD)DTR_CONTROL_ENABLE);
    EXPECT_EQ(dcb.fDsrSensitivity, 0u);
    EXPECT_EQ(dcb.fTXContinueOnXoff, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fErrorChar, 0u);
    EXPECT_EQ(dcb.fNull, 0u);
    EXPECT_EQ(dcb.fRtsControl, (DWORD)RTS_CONTROL_ENABLE);
    EXPECT_EQ(dcb.fAbortOnError, 0u);
    EXPECT_EQ(dcb.XonLim, 2048);
    EXPECT_EQ(dcb.XoffLim, 1024);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.ErrorChar, '!');
    EXPECT_EQ(dcb.EofChar, 0x1A);
    EXPECT_EQ(dcb.EvtChar, '~');
    EXPECT_EQ(dcb.fDummy2, 0x5A5Au);
}

struct LineCase { int bitrate; const char* format; BYTE byteSize, parity, stopBits; int chunk; };
void PrintTo(const LineCase& c, std::ostream* out) { *out << c.bitrate << " " << c.format; }

class OpenLine : public Seam, public testing::WithParamInterface<LineCase> {};

TEST_P(OpenLine, SetsRateFormatAndChunk) {
    const LineCase& c = GetParam();
    open(c.bitrate, c.format);
    DCB dcb = lastSetState();
    EXPECT_EQ(dcb.BaudRate, (DWORD)c.bitrate);
    EXPECT_EQ(dcb.ByteSize, c.byteSize);
    EXPECT_EQ(dcb.Parity, c.parity);
    EXPECT_EQ(dcb.StopBits, c.stopBits);
    EXPECT_TRUE(eventually([&] { return g_readSize == c.chunk; })) << "reads of " << g_readSize;
}

INSTANTIATE_TEST_SUITE_P(
    RatesAndFormats, OpenLine,
    testing::Values(LineCase{115200, "8N1", 8, NOPARITY, ONESTOPBIT, 64},
                    LineCase{9600, "7e2", 7, EVENPARITY, TWOSTOPBITS, 5},
                    LineCase{1200, "6o1", 6, ODDPARITY, ONESTOPBIT, 1},
                    LineCase{38400, "7O1", 7, ODDPARITY, ONESTOPBIT, 21},
                    LineCase{460800, "8E2", 8, EVENPARITY, TWOSTOPBITS, 256}));

class OpenRefusal : public Seam, public testing::WithParamInterface<BadOpen> {};

// An unoffered rate or format character is found only once the device is open; Close then
// releases the device without writing any settings back.
TEST_P(OpenRefusal, InvalidArgumentAtItsStep) {
    const BadOpen& c = GetParam();
    EXPECT_EQ(port.Open(c.nullDevice ? nullptr : port_name(), c.bitrate, c.format, c.queueKiB), SERPORT_E_INVALID_ARG);
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(contains(takeLog(), "CreateFileA"), c.deviceOpened);
    port.Close();
    EXPECT_EQ(takeLog(), c.deviceOpened ? (Log{"PurgeComm(15)", "CloseHandle(device)"}) : Log{});
    EXPECT_TRUE(nothingLeft());
}

INSTANTIATE_TEST_SUITE_P(Arguments, OpenRefusal, testing::ValuesIn(BAD_OPENS), bad_open_name);

// --- Check -----------------------------------------------------------------------------------

struct ProbeCase { DWORD openError; DWORD fileType; DWORD typeError; int verdict; };
void PrintTo(const ProbeCase& c, std::ostream* out) {
    *out << "open error " << c.openError << ", type " << c.fileType << ", type error " << c.typeError;
}

class Probe : public Seam, public testing::WithParamInterface<ProbeCase> {};

TEST_P(Probe, GivesItsVerdictAndClosesTheProbe) {
    const ProbeCase& c = GetParam();
    if (c.openError != 0) inject("CreateFileA", c.openError);
    g_fakeFileType = true;
    g_fileType = c.fileType;
    g_fileTypeError = c.typeError;
    EXPECT_EQ(port.Check(port_name()), c.verdict);
    EXPECT_FALSE(port.isOpen());
    EXPECT_TRUE(nothingLeft());
}

INSTANTIATE_TEST_SUITE_P(
    Verdicts, Probe,
    testing::Values(ProbeCase{ERROR_FILE_NOT_FOUND, 0, 0, SERPORT_CHECK_NOT_FOUND},
                    ProbeCase{ERROR_PATH_NOT_FOUND, 0, 0, SERPORT_CHECK_OTHER_ERROR},
                    ProbeCase{ERROR_ACCESS_DENIED, 0, 0, SERPORT_CHECK_ACCESS_DENIED},
                    ProbeCase{ERROR_SHARING_VIOLATION, 0, 0, SERPORT_CHECK_ACCESS_DENIED},
                    ProbeCase{ERROR_INVALID_NAME, 0, 0, SERPORT_CHECK_OTHER_ERROR},
                    ProbeCase{0, FILE_TYPE_CHAR, ERROR_IO_DEVICE, SERPORT_CHECK_USABLE},
                    ProbeCase{0, FILE_TYPE_DISK, NO_ERROR, SERPORT_CHECK_NOT_TTY},
                    ProbeCase{0, FILE_TYPE_PIPE, NO_ERROR, SERPORT_CHECK_NOT_TTY},
                    ProbeCase{0, FILE_TYPE_UNKNOWN, NO_ERROR, SERPORT_CHECK_USABLE},
                    ProbeCase{0, FILE_TYPE_UNKNOWN, ERROR_INVALID_HANDLE, SERPORT_CHECK_NOT_TTY}));

// --- Failures of an open port -----------------------------------------------------------------

struct OperationFault { const char* call; const char* operation; int (*run)(SerPort&); int code; };
void PrintTo(const OperationFault& f, std::ostream* out) { *out << f.operation << " / " << f.call; }

class OperationFailure : public Seam, public testing::WithParamInterface<OperationFault> {};

TEST_P(OperationFailure, ReturnsItsCodeWithTheLastErrorAndLeavesThePortOpen) {
    const OperationFault& f = GetParam();
    open();
    inject(f.call, ERROR_IO_DEVICE);
    EXPECT_EQ(f.run(port), f.code);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_DEVICE);
    EXPECT_TRUE(port.isOpen());
}

SerPort_INFO g_info;

INSTANTIATE_TEST_SUITE_P(
    EveryCall, OperationFailure,
    testing::Values(
        OperationFault{"FlushFileBuffers", "WaitForWrites", [](SerPort& p) { return p.WaitForWrites(); }, SERPORT_E_FLUSHFILEBUFFERS},
        OperationFault{"WaitForSingleObject", "WaitForReads", [](SerPort& p) { return p.WaitForReads(1000); }, SERPORT_E_WAITFORSINGLEOBJECT},
        OperationFault{"PurgeComm", "PurgeWrites", [](SerPort& p) { return p.PurgeWrites(); }, SERPORT_E_PURGECOMM},
        OperationFault{"PurgeComm", "PurgeReads", [](SerPort& p) { return p.PurgeReads(); }, SERPORT_E_PURGECOMM},
        OperationFault{"PurgeComm", "PurgeAll", [](SerPort& p) { return p.PurgeAll(); }, SERPORT_E_PURGECOMM},
        OperationFault{"SetCommBreak", "SendBreak", [](SerPort& p) { return p.SendBreak(); }, SERPORT_E_SETCOMMBREAK},
        OperationFault{"ClearCommBreak", "SendBreak", [](SerPort& p) { return p.SendBreak(); }, SERPORT_E_CLEARCOMMBREAK},
        OperationFault{"EscapeCommFunction", "SetRTS", [](SerPort& p) { return p.SetRTS(); }, SERPORT_E_ESCAPECOMMFUNCTION},
        OperationFault{"EscapeCommFunction", "ClearRTS", [](SerPort& p) { return p.ClearRTS(); }, SERPORT_E_ESCAPECOMMFUNCTION},
        OperationFault{"EscapeCommFunction", "SetDTR", [](SerPort& p) { return p.SetDTR(); }, SERPORT_E_ESCAPECOMMFUNCTION},
        OperationFault{"EscapeCommFunction", "ClearDTR", [](SerPort& p) { return p.ClearDTR(); }, SERPORT_E_ESCAPECOMMFUNCTION},
        OperationFault{"SetCommState", "SetFlowOff", [](SerPort& p) { return p.SetFlowOff(); }, SERPORT_E_SETCOMMSTATE},
        OperationFault{"SetCommState", "SetFlowXonXoff", [](SerPort& p) { return p.SetFlowXonXoff(); }, SERPORT_E_SETCOMMSTATE},
        OperationFault{"SetCommState", "SetFlowRtsCts", [](SerPort& p) { return p.SetFlowRtsCts(); }, SERPORT_E_SETCOMMSTATE},
        OperationFault{"GetCommModemStatus", "GetLineState", [](SerPort& p) { return p.GetLineState(); }, SERPORT_E_GETCOMMMODEMSTATUS},
        OperationFault{"ClearCommError", "GetComStatus", [](SerPort& p) { return p.GetComStatus(&g_info); }, SERPORT_E_CLEARCOMMERROR}));

TEST_F(Seam, FailedDevicePurgeEmptiesTheTransmitRingButKeepsTheReceiveRing) {
    FarSide remote;
    open();
    remote.send("12345");
    ASSERT_TRUE(eventually([&] { return port.PendingReads() == 5; }));
    g_stallWrites = true;
    ASSERT_EQ(port.Write("queued", 6), 6);
    inject("PurgeComm", ERROR_IO_DEVICE);
    EXPECT_EQ(port.PurgeReads(), SERPORT_E_PURGECOMM);
    EXPECT_EQ(port.PendingReads(), 5) << "the receive ring is kept when the device purge fails";
    inject("PurgeComm", ERROR_IO_DEVICE);
    EXPECT_EQ(port.PurgeAll(), SERPORT_E_PURGECOMM);
    EXPECT_EQ(port.PendingReads(), 5);
    g_stallWrites = false;
    EXPECT_EQ(port.WaitForWrites(), 0);
    EXPECT_TRUE(written().empty()) << "the transmit ring was emptied before the device purge";
    ASSERT_EQ(port.Write("queued", 6), 6);
    g_stallWrites = true;
    inject("PurgeComm", ERROR_IO_DEVICE);
    EXPECT_EQ(port.PurgeWrites(), SERPORT_E_PURGECOMM);
    g_stallWrites = false;
    EXPECT_EQ(port.WaitForWrites(), 0);
    EXPECT_LE(written().size(), 6u);
}

TEST_F(Seam, SendBreakHoldsForAQuarterSecondOnlyOnceTheBreakIsSet) {
    open();
    takeLog();
    EXPECT_EQ(port.SendBreak(), 0);
    EXPECT_EQ(takeLog(), (Log{"SetCommBreak", "Sleep(250)", "ClearCommBreak"}));
    inject("SetCommBreak", ERROR_IO_DEVICE);
    EXPECT_EQ(port.SendBreak(), SERPORT_E_SETCOMMBREAK);
    EXPECT_EQ(takeLog(), (Log{"SetCommBreak"})) << "no pause and no clear after a failed start";
}

// --- Line control -----------------------------------------------------------------------------

// The flow bits of the record written last.
std::string flow_bits(const DCB& dcb) {
    return std::to_string(dcb.fOutxCtsFlow) + std::to_string(dcb.fOutX) + std::to_string(dcb.fInX) + "/" +
           (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE ? "handshake" : dcb.fRtsControl == RTS_CONTROL_ENABLE ? "enable" : "other");
}

// Everything but the three flow groups.
bool same_but_flow(DCB a, DCB b) {
    a.fOutxCtsFlow = b.fOutxCtsFlow = 0;
    a.fOutX = b.fOutX = a.fInX = b.fInX = 0;
    a.fRtsControl = b.fRtsControl = 0;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST_F(Seam, FlowModesRewriteOnlyTheirBitsAndRtsCtsTakesRtsAway) {
    open();
    DCB opened = lastSetState();
    takeLog();
    EXPECT_EQ(port.SetRTS(), 0);
    EXPECT_EQ(port.SetFlowRtsCts(), 0);
    EXPECT_EQ(flow_bits(lastSetState()), "100/handshake");
    EXPECT_EQ(port.SetRTS(), SERPORT_E_HW_FLOW);
    EXPECT_EQ(port.ClearRTS(), SERPORT_E_HW_FLOW);
    EXPECT_EQ(port.SetDTR(), 0);
    EXPECT_EQ(port.ClearDTR(), 0);
    EXPECT_EQ(port.SetFlowXonXoff(), 0);
    EXPECT_EQ(flow_bits(lastSetState()), "011/enable");
    EXPECT_TRUE(same_but_flow(lastSetState(), opened));
    EXPECT_EQ(port.ClearRTS(), 0);
    EXPECT_EQ(port.SetFlowOff(), 0);
    DCB off = lastSetState();
    EXPECT_EQ(std::memcmp(&off, &opened, sizeof off), 0) << "flow off is the line Open set up";
    EXPECT_EQ(takeLog(), (Log{"EscapeCommFunction(3)", "SetCommState", "EscapeCommFunction(5)",
                              "EscapeCommFunction(6)", "SetCommState", "EscapeCommFunction(4)", "SetCommState"}));
}

TEST_F(Seam, AFailedSwitchToRtsCtsKeepsTheModeButNotTheBits) {
    open();
    inject("SetCommState", ERROR_IO_DEVICE);
    EXPECT_EQ(port.SetFlowRtsCts(), SERPORT_E_SETCOMMSTATE);
    EXPECT_EQ(flow_bits(lastSetState()), "100/handshake");
    EXPECT_EQ(port.SetRTS(), 0) << "still in flow mode none";
}

struct ModemCase { DWORD status; int lines; };
void PrintTo(const ModemCase& c, std::ostream* out) { *out << "status 0x" << std::hex << c.status; }

class ModemLines : public Seam, public testing::WithParamInterface<ModemCase> {};

TEST_P(ModemLines, MapToTheLineStateBits) {
    open();
    g_modemStatus = GetParam().status;
    EXPECT_EQ(port.GetLineState(), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    StatusWords, ModemLines,
    testing::Values(ModemCase{0, 0}, ModemCase{MS_CTS_ON | MS_RLSD_ON, 5}, ModemCase{MS_RING_ON, 8},
                    ModemCase{MS_RLSD_ON, 4}, ModemCase{MS_DSR_ON, 2},
                    ModemCase{MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON, 15}, ModemCase{0x0F, 0}));

struct ErrorCase { DWORD mask; const char* fields; };  // break parity frame overrun rxover any valid
void PrintTo(const ErrorCase& c, std::ostream* out) { *out << "mask 0x" << std::hex << c.mask; }

std::string fields_of(const SerPort_INFO& i) {
    std::string s;
    for (bool b : {i.breakSeen, i.parityError, i.framingError, i.overrunError, i.rxOverflow, i.anyError, i.valid})
        s += b ? '1' : '0';
    return s;
}

class LineErrors : public Seam, public testing::WithParamInterface<ErrorCase> {};

TEST_P(LineErrors, MapToTheStatusFields) {
    open();
    g_fakeErrorMask = true;
    g_errorMask = GetParam().mask;
    SerPort_INFO info;
    std::memset(&info, 0, sizeof info);
    ASSERT_EQ(port.GetComStatus(&info), 0);
    EXPECT_EQ(fields_of(info), GetParam().fields);
}

INSTANTIATE_TEST_SUITE_P(
    Masks, LineErrors,
    testing::Values(ErrorCase{0, "0000001"}, ErrorCase{CE_BREAK, "1000011"}, ErrorCase{CE_RXPARITY, "0100011"},
                    ErrorCase{CE_FRAME, "0010011"}, ErrorCase{CE_OVERRUN, "0001011"}, ErrorCase{CE_RXOVER, "0000111"},
                    ErrorCase{CE_TXFULL, "0000001"}, ErrorCase{CE_TXFULL | CE_MODE, "0000001"},
                    ErrorCase{CE_BREAK | CE_RXPARITY | CE_FRAME | CE_OVERRUN | CE_RXOVER, "1111111"}));

TEST_F(Seam, GetComStatusWritesNothingWhenTheCallFails) {
    open();
    EXPECT_EQ(port.GetComStatus(nullptr), SERPORT_E_INVALID_ARG);
    SerPort_INFO info;
    std::memset(&info, 0x55, sizeof info);
    SerPort_INFO before = info;
    inject("ClearCommError", ERROR_IO_DEVICE);
    EXPECT_EQ(port.GetComStatus(&info), SERPORT_E_CLEARCOMMERROR);
    EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);
}

// --- The worker -------------------------------------------------------------------------------

TEST_F(Seam, AWorkerEndedByAFailedWriteEndsTheWaitForWritesWithItsError) {
    inject("WriteFile", ERROR_NOT_READY, 1, true);
    open();
    ASSERT_EQ(port.Write("lost", 4), 4);
    auto start = Clock::now();
    EXPECT_EQ(port.WaitForWrites(), SERPORT_E_FLUSHFILEBUFFERS);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_READY);
    EXPECT_LT(ms_since(start), 3000);
    EXPECT_TRUE(port.isOpen());
}

// A purge and new bytes while the worker is still writing a chunk copied before the purge: the
// worker must not take the new bytes for the ones it has sent.
TEST_F(Seam, BytesWrittenDuringAChunkWriteSurviveAPurge) {
    g_holdNextWrite = true;
    open();
    ASSERT_EQ(port.Write("old!", 4), 4);
    ASSERT_TRUE(eventually([] { return g_inHeldWrite.load(); }));
    EXPECT_EQ(port.PurgeWrites(), 0);
    ASSERT_EQ(port.Write("0123456789", 10), 10);
    SetEvent(g_release);
    EXPECT_EQ(port.WaitForWrites(), 0);
    std::vector<uint8_t> out = written();
    EXPECT_EQ(std::string(out.begin(), out.end()), "old!0123456789");
}

// A worker stuck in a device write past Close's wait keeps the device, the events and the locks
// until it ends, and then releases them itself.
TEST_F(Seam, AWorkerThatOutlivesCloseReleasesItsLinkWhenItEnds) {
    g_holdNextWrite = true;
    open();
    ASSERT_EQ(port.Write("x", 1), 1);
    ASSERT_TRUE(eventually([] { return g_inHeldWrite.load(); }));
    takeLog();
    auto start = Clock::now();
    port.Close();
    EXPECT_GE(ms_since(start), 4900);
    EXPECT_FALSE(port.isOpen());
    Log closing = takeLog();
    EXPECT_TRUE(contains(closing, "CloseHandle(thread)"));
    EXPECT_FALSE(contains(closing, "CloseHandle(device)"));
    EXPECT_FALSE(contains(closing, "DeleteCriticalSection"));
    EXPECT_FALSE(nothingLeft());
    SetEvent(g_release);
    EXPECT_TRUE(eventually(nothingLeft));
}

// A worker that ends just after Close gave up waiting for it closes the device as it lets go
// of the link: the purge and the old settings must reach the device before that.
TEST_F(Seam, CloseRestoresTheSettingsBeforeALateWorkerClosesTheDevice) {
    open();
    takeLog();
    inject("WaitTimesOut", NO_ERROR);
    g_workerEndsAfterTheWait = true;
    port.Close();
    Log closing = takeLog();
    auto at = [&](const std::string& entry) { return std::find(closing.begin(), closing.end(), entry) - closing.begin(); };
    ASSERT_TRUE(contains(closing, "CloseHandle(device)"));
    EXPECT_LT(at("PurgeComm(15)"), at("CloseHandle(device)"));
    EXPECT_LT(at("SetCommState"), at("CloseHandle(device)"));
    DCB restored = lastSetState();
    EXPECT_EQ(std::memcmp(&restored, &g_gotState, sizeof restored), 0);
    EXPECT_TRUE(nothingLeft());
}

// Flow control holds the line off (CTS low, or an XOFF received) while the worker writes: Close
// still returns soon, with the device's settings back.
TEST_F(Seam, CloseBehindAWriteHeldOffReturnsWithTheSettingsRestored) {
    g_serialised = true;
    g_heldOff = true;
    open();
    ASSERT_EQ(port.Write("x", 1), 1);
    ASSERT_TRUE(eventually([] { return g_inHeldWrite.load(); }));
    takeLog();
    std::atomic<bool> closed{false};
    std::thread watchdog([&] {  // frees a Close that hangs, so that the test ends either way
        if (!eventually([&] { return closed.load(); }, 3000)) SetEvent(g_release);
    });
    auto start = Clock::now();
    port.Close();
    long took = ms_since(start);
    closed = true;
    watchdog.join();
    EXPECT_LT(took, 2000) << "Close waited behind the held write";
    EXPECT_TRUE(contains(takeLog(), "SetCommState"));
    DCB restored = lastSetState();
    EXPECT_EQ(std::memcmp(&restored, &g_gotState, sizeof restored), 0);
    EXPECT_TRUE(nothingLeft());
}

// A device that fails under the worker (an adapter unplugged): WaitForReads says so at once,
// with the device's error, instead of waiting out its time as if the target were silent.
TEST_F(Seam, ADeviceFailureEndsWaitForReadsAtOnceWithItsError) {
    inject("ReadFile", ERROR_DEVICE_NOT_CONNECTED, 1, true);
    open();
    auto start = Clock::now();
    EXPECT_EQ(port.WaitForReads(2000), SERPORT_E_WAITFORSINGLEOBJECT);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_LT(ms_since(start), 1000);
    EXPECT_TRUE(port.isOpen());
}

TEST_F(Seam, ALateEventWithNothingWaitingDoesNotEndWaitForReadsEarly) {
    open();
    inject("WakesAtOnce", NO_ERROR);
    auto start = Clock::now();
    EXPECT_EQ(port.WaitForReads(300), 0);
    EXPECT_GE(ms_since(start), 280);
}

// --- Sleeps -----------------------------------------------------------------------------------

TEST_F(Seam, MilliSleepRaisesTheTimerResolutionAroundARealSleepOnly) {
    MilliSleep(0);
    MilliSleep(-5);
    EXPECT_TRUE(takeLog().empty());
    MilliSleep(3);
    EXPECT_EQ(takeLog(), (Log{"timeBeginPeriod(1)", "SleepEx(3,FALSE)", "timeEndPeriod(1)"}));
}

TEST_F(Seam, WaitForWritesOnAnEmptyRingOnlyFlushes) {
    open();
    takeLog();
    EXPECT_EQ(port.WaitForWrites(), 0);
    EXPECT_EQ(takeLog(), (Log{"FlushFileBuffers"}));
}

}  // namespace
