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
#define system_error_text WIN32_strerror
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
#define system_error_text POSIX_strerror
#endif

const char* member_name(int memberId) {
    static const char* const names[] = {
        "Check()",          "Open()",          "Write()",        "Read()",
        "WaitForReads()",   "WaitForWrites()", "PendingReads()", "SendBreak()",
        "PurgeAll()",       "PurgeReads()",    "PurgeWrites()",  "SetFlowRtsCts()",
        "SetFlowXonXoff()", "SetFlowOff()",    "SetDtr()",       "SetRts()",
        "ClearDtr()",       "ClearRts()",      "GetLineState()", "GetComStatus()",
    };
    if (memberId > SERPORT_ID_CHECK || memberId < SERPORT_ID_GETCOMSTATUS) return nullptr;
    return names[SERPORT_ID_CHECK - memberId];
}

// The format for a port condition, or null.
const char* condition_format(int errorCode) {
    switch (errorCode) {
    case SERPORT_E_NOT_OPEN: return "%s: Device not open";
    case SERPORT_E_ALREADY_OPEN: return "%s: Device already open";
    case SERPORT_E_INVALID_ARG: return "%s: Invalid argument";
    case SERPORT_E_HW_FLOW: return "%s: Hardware control flow enabled";
    default: return nullptr;
    }
}

// The format for a failed platform call, or null.
const char* platform_format(int errorCode) {
    switch (errorCode) {
    case SERPORT_E_SETUPCOMM: return "%s: WIN32 SetupComm() failed: %s";
    case SERPORT_E_CREATEFILE: return "%s: WIN32 CreateFile() failed: %s";
    case SERPORT_E_CREATEEVENT: return "%s: WIN32 CreateEvent() failed: %s";
    case SERPORT_E_CREATETHREAD: return "%s: WIN32 CreateThread() failed: %s";
    case SERPORT_E_GETCOMMSTATE: return "%s: WIN32 GetCommState() failed: %s";
    case SERPORT_E_SETCOMMSTATE: return "%s: WIN32 SetCommState() failed: %s";
    case SERPORT_E_SETCOMMBREAK: return "%s: WIN32 SetCommBreak() failed: %s";
    case SERPORT_E_CLEARCOMMBREAK: return "%s: WIN32 ClearCommBreak() failed: %s";
    case SERPORT_E_SETCOMMTIMEOUTS: return "%s: WIN32 SetCommTimeouts() failed: %s";
    case SERPORT_E_FLUSHFILEBUFFERS: return "%s: WIN32 FlushFileBuffers() failed: %s";
    case SERPORT_E_ESCAPECOMMFUNCTION: return "%s: WIN32 EscapeCommFunction() failed: %s";
    case SERPORT_E_GETCOMMMODEMSTATUS: return "%s: WIN32 GetCommModemStatus() failed: %s";
    case SERPORT_E_WAITFORSINGLEOBJECT: return "%s: WIN32 WaitForSingleObject() failed: %s";
    case SERPORT_E_CLEARCOMMERROR: return "%s: WIN32 ClearCommError() failed: %s";
    case SERPORT_E_PURGECOMM: return "%s: WIN32 PurgeComm() failed: %s";
    default: return nullptr;
    }
}

}  // namespace

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif
SerPort_Exception::SerPort_Exception(int memberId_, int errorCode_) noexcept
    : memberId(memberId_), errorCode(errorCode_) {
    const char* name = member_name(memberId);
    const char* format = nullptr;
    if (name == nullptr) {
        snprintf(text, sizeof text, "BUG! Unknow member Id (%d)", memberId);
    } else if ((format = condition_format(errorCode)) != nullptr) {
        snprintf(text, sizeof text, format, name);
    } else if ((format = platform_format(errorCode)) != nullptr) {
        snprintf(text, sizeof text, format, name, system_error_text());
    } else {
        snprintf(text, sizeof text, "%s: BUG! Unknow error Id (%d)", name, errorCode);
    }
    text[sizeof text - 1] = '\0';
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

SerPort_Exception::~SerPort_Exception() noexcept {}

const char* SerPort_Exception::what() const noexcept { return text; }

int SerPort_Exception::Member() const noexcept { return memberId; }

int SerPort_Exception::Errno() const noexcept { return errorCode; }
