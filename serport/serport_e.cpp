// SerPort_Exception: a failed port operation and its one-line message, composed once from the
// operation, the result code and the system's own text for its last error.
#include "serport.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

const size_t TEXT_SIZE = 1024;

// Shared by every call: only one thread may build an exception at a time.
char cbuf[TEXT_SIZE];

// Line breaks inside a system message would break the one-line report.
void blank_line_breaks(char* text) {
    for (char* c = text; *c != '\0'; ++c)
        if (*c == '\r' || *c == '\n') *c = ' ';
}

// Puts the system's text into cbuf as one line, or, when the system has none, the error value
// and the header that names it.
const char* fill_system_text(const char* text, unsigned error, const char* header) {
    if (text != nullptr) {
        strncpy(cbuf, text, TEXT_SIZE);
        cbuf[TEXT_SIZE - 1] = '\0';
        blank_line_breaks(cbuf);
    } else {
        snprintf(cbuf, TEXT_SIZE, "error code 0x%08X (see %s)", error, header);
    }
    cbuf[TEXT_SIZE - 1] = '\0';
    return cbuf;
}

#ifdef _WIN32
// The system's text for the calling thread's last error.
const char* WIN32_strerror() {
    DWORD error = GetLastError();
    char local[TEXT_SIZE];
    DWORD got = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                               error, 0x400, local, TEXT_SIZE, NULL);
    return fill_system_text(got != 0 ? local : nullptr, (unsigned)error, "windows.h");
}

const char* system_error_text() { return WIN32_strerror(); }
#else
// The system's description of an errno value, or null when it has none.
const char* describe_errno(int error) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
    return strerrordesc_np(error);
#else
    return error == 0 ? nullptr : std::strerror(error);
#endif
}

// The system's text for the calling thread's errno.
const char* POSIX_strerror() {
    int error = errno;
    return fill_system_text(describe_errno(error), (unsigned)error, "errno.h");
}

const char* system_error_text() { return POSIX_strerror(); }
#endif

// Some names differ from the member's: SetDTR prints "SetDtr()", and so on.
const char* member_name(int memberId) {
    switch (static_cast<SerPort_Operation>(memberId)) {
    case SERPORT_ID_CHECK: return "Check()";
    case SERPORT_ID_OPEN: return "Open()";
    case SERPORT_ID_WRITE: return "Write()";
    case SERPORT_ID_READ: return "Read()";
    case SERPORT_ID_WAITFORREADS: return "WaitForReads()";
    case SERPORT_ID_WAITFORWRITES: return "WaitForWrites()";
    case SERPORT_ID_PENDINGREADS: return "PendingReads()";
    case SERPORT_ID_SENDBREAK: return "SendBreak()";
    case SERPORT_ID_PURGEALL: return "PurgeAll()";
    case SERPORT_ID_PURGEREADS: return "PurgeReads()";
    case SERPORT_ID_PURGEWRITES: return "PurgeWrites()";
    case SERPORT_ID_SETFLOWRTSCTS: return "SetFlowRtsCts()";
    case SERPORT_ID_SETFLOWXONXOFF: return "SetFlowXonXoff()";
    case SERPORT_ID_SETFLOWOFF: return "SetFlowOff()";
    case SERPORT_ID_SETDTR: return "SetDtr()";
    case SERPORT_ID_SETRTS: return "SetRts()";
    case SERPORT_ID_CLEARDTR: return "ClearDtr()";
    case SERPORT_ID_CLEARRTS: return "ClearRts()";
    case SERPORT_ID_GETLINESTATE: return "GetLineState()";
    case SERPORT_ID_GETCOMSTATUS: return "GetComStatus()";
    }
    return nullptr;
}

// The message for one of the port's own conditions; false for any other code.
bool compose_condition(char* text, const char* name, int errorCode) {
    switch (static_cast<SerPort_Condition>(errorCode)) {
    case SERPORT_E_NOT_OPEN: snprintf(text, TEXT_SIZE, "%s: Device not open", name); return true;
    case SERPORT_E_ALREADY_OPEN: snprintf(text, TEXT_SIZE, "%s: Device already open", name); return true;
    case SERPORT_E_INVALID_ARG: snprintf(text, TEXT_SIZE, "%s: Invalid argument", name); return true;
    case SERPORT_E_HW_FLOW: snprintf(text, TEXT_SIZE, "%s: Hardware control flow enabled", name); return true;
    }
    return false;
}

// The message for a failed platform call, ending in the system's text for its last error; false
// for any other code, without looking at the last error.
bool compose_call_failure(char* text, const char* name, int errorCode) {
    switch (static_cast<SerPort_CallFailure>(errorCode)) {
    case SERPORT_E_SETUPCOMM: snprintf(text, TEXT_SIZE, "%s: WIN32 SetupComm() failed: %s", name, system_error_text()); return true;
    case SERPORT_E_CREATEFILE: snprintf(text, TEXT_SIZE, "%s: WIN32 CreateFile() failed: %s", name, system_error_text()); return true;
    case SERPORT_E_CREATEEVENT: snprintf(text, TEXT_SIZE, "%s: WIN32 CreateEvent() failed: %s", name, system_error_text()); return true;
    case SERPORT_E_CREATETHREAD: snprintf(text, TEXT_SIZE, "%s: WIN32 CreateThread() failed: %s", name, system_error_text()); return true;
    case SERPORT_E_GETCOMMSTATE: snprintf(text, TEXT_SIZE, "%s: WIN32 GetCommState() failed: %s", name, system_error_text()); return true;
    case SERPORT_E_SETCOMMSTATE: snprintf(text, TEXT_SIZE, "%s: WIN32 SetCommState() failed: %s", name, system_error_text()); return true;
    case SERPORT_E_SETCOMMBREAK: snprintf(text, TEXT_SIZE, "%s: WIN32 SetCommBreak() failed: %s", name, system_error_text()); return true;
    case SERPORT_E_CLEARCOMMBREAK: snprintf(text, TEXT_SIZE, "%s: WIN32 ClearCommBreak() failed: %s", name, system_error_text()); return true;
    case SERPORT_E_SETCOMMTIMEOUTS: snprintf(text, TEXT_SIZE, "%s: WIN32 SetCommTimeouts() failed: %s", name, system_error_text()); return true;
    case SERPORT_E_FLUSHFILEBUFFERS: snprintf(text, TEXT_SIZE, "%s: WIN32 FlushFileBuffers() failed: %s", name, system_error_text()); return true;
    case SERPORT_E_ESCAPECOMMFUNCTION: snprintf(text, TEXT_SIZE, "%s: WIN32 EscapeCommFunction() failed: %s", name, system_error_text()); return true;
    case SERPORT_E_GETCOMMMODEMSTATUS: snprintf(text, TEXT_SIZE, "%s: WIN32 GetCommModemStatus() failed: %s", name, system_error_text()); return true;
    case SERPORT_E_WAITFORSINGLEOBJECT: snprintf(text, TEXT_SIZE, "%s: WIN32 WaitForSingleObject() failed: %s", name, system_error_text()); return true;
    case SERPORT_E_CLEARCOMMERROR: snprintf(text, TEXT_SIZE, "%s: WIN32 ClearCommError() failed: %s", name, system_error_text()); return true;
    case SERPORT_E_PURGECOMM: snprintf(text, TEXT_SIZE, "%s: WIN32 PurgeComm() failed: %s", name, system_error_text()); return true;
    }
    return false;
}

}  // namespace

SerPort_Exception::SerPort_Exception(int memberId_, int errorCode_) noexcept
    : memberId(memberId_), errorCode(errorCode_) {
    const char* name = member_name(memberId);
    if (name == nullptr) {
        snprintf(text, sizeof text, "BUG! Unknow member Id (%d)", memberId);
    } else if (!compose_condition(text, name, errorCode) && !compose_call_failure(text, name, errorCode)) {
        snprintf(text, sizeof text, "%s: BUG! Unknow error Id (%d)", name, errorCode);
    }
    text[sizeof text - 1] = '\0';
}

SerPort_Exception::~SerPort_Exception() noexcept {}

const char* SerPort_Exception::what() const noexcept { return text; }

int SerPort_Exception::Member() const noexcept { return memberId; }

int SerPort_Exception::Errno() const noexcept { return errorCode; }
