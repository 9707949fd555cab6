// Serial port library: a line opened for exclusive use, with a worker thread that moves bytes
// between the device and two 4096-byte rings.
//
// Every operation reports through its result and never raises: a negative multiple of 5 is a
// failure code (SERPORT_E_...), anything else is 0, a count, a bit mask or a probe verdict.
// SerPort_Exception turns a failure into a one-line message for callers that prefer exceptions.
// The library never prints.
//
// Threads
// - The application thread runs every public operation. A port is not meant to be driven from
//   two application threads at once.
// - Each open port runs one worker thread (txrx_thread_run). It alone reads and writes the
//   device.
// - The POSIX worker sleeps in poll on the device and on evTxKick with no time-out, so an idle
//   port costs no wake-ups. poll wakes it for bytes in, for room in the driver's output queue and
//   for a hang-up; evTxKick for the rest: Write, Read or a purge making room in a receive ring too
//   full to read into, and Close.
// - The Windows worker waits on evTxKick alone, for at most 5 ms at a time, and reads after
//   every wait: its device handle is synchronous, and such a handle cannot be waited on for
//   arriving bytes together with an event, so the 5 ms wait is what finds them.
// - The line-control operations (SetRTS ... GetComStatus) take no lock and act on the device
//   while the worker may be reading or writing it.
//
// Locks and shared fields (all in SerPort_Link, which the worker shares with the port)
// - txLock guards txBuf, txHead, txTail, txPurges and every change to txCount.
// - rxLock guards rxBuf, rxHead, rxTail and every change to rxCount.
// - No code holds both locks at once, and neither is held across a device call.
// - txCount and rxCount are also read without a lock (PendingReads, the waits, the worker's room
//   test), so they are atomics; a stale look only delays the reader by one round.
// - stopWorker, workerEnded and workerError are lock-free flags between the two threads.
//
// If a worker does not end within Close's 5000 ms wait, Close leaves it running on its link
// (rings, locks, events and the device descriptor stay valid); the worker frees the link when
// it finally ends. Nothing is ever released under a running worker.
#ifndef QUORVANE_SERPORT_H
#define QUORVANE_SERPORT_H

#include <cstdint>
#include <exception>

// The platform's types for the fields every port has (the device, its settings, the worker
// thread), and what only that platform's back end keeps per port.
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
typedef HANDLE SerPort_Handle;
typedef DCB SerPort_Settings;
typedef HANDLE SerPort_Thread;
typedef DWORD SerPort_ThreadResult;
#define SERPORT_THREAD_CALL WINAPI
// Nothing beyond the fields every port has.
struct SerPort_BackEndState {};
#else
#include <pthread.h>
#include <termios.h>
typedef int SerPort_Handle;               // a file descriptor, -1 when closed
typedef struct termios SerPort_Settings;  // the line settings
typedef pthread_t SerPort_Thread;
typedef void* SerPort_ThreadResult;
#define SERPORT_THREAD_CALL
// What Open changed on the device, recorded as it changes it, so that Close puts back exactly
// that and nothing else; the line's bit rate; and the driver's line-error counts when last
// looked at (Open, then each GetComStatus), so that each error is reported once.
struct SerPort_BackEndState {
    bool exclusiveSet = false;     // Open turned the tty's exclusive mode on
    bool lowLatencySet = false;    // Open turned the driver's low-latency flag on
    bool settingsWritten = false;  // Open tried to write line settings: savedDcb goes back
    bool linesSaved = false;       // Open read the modem lines before raising DTR and RTS
    int savedLines = 0;
    int bitrate = 0;
    struct ErrorCounts {
        int brk, parity, frame, overrun, bufOverrun;
        bool known;  // false while the counts could not be read
    } errorBase = ErrorCounts();
};
#endif

// Result codes: the port's own conditions.
enum SerPort_Condition : int {
    SERPORT_E_NOT_OPEN = -100,
    SERPORT_E_ALREADY_OPEN = -105,
    SERPORT_E_INVALID_ARG = -110,
    SERPORT_E_HW_FLOW = -115,
};

// Result codes: a named platform call failed; the system's last error holds the cause. The
// names are those of the Windows calls; each back end maps its own calls onto them.
enum SerPort_CallFailure : int {
    SERPORT_E_SETUPCOMM = -200,
    SERPORT_E_CREATEFILE = -205,
    SERPORT_E_CREATEEVENT = -210,
    SERPORT_E_CREATETHREAD = -215,
    SERPORT_E_GETCOMMSTATE = -220,
    SERPORT_E_SETCOMMSTATE = -225,
    SERPORT_E_SETCOMMBREAK = -230,
    SERPORT_E_CLEARCOMMBREAK = -235,
    SERPORT_E_SETCOMMTIMEOUTS = -240,
    SERPORT_E_FLUSHFILEBUFFERS = -245,
    SERPORT_E_ESCAPECOMMFUNCTION = -250,
    SERPORT_E_GETCOMMMODEMSTATUS = -255,
    SERPORT_E_WAITFORSINGLEOBJECT = -260,
    SERPORT_E_CLEARCOMMERROR = -265,
    SERPORT_E_PURGECOMM = -270,
};

// Check verdicts.
enum {
    SERPORT_CHECK_USABLE = 0,
    SERPORT_CHECK_NOT_TTY = 10,
    SERPORT_CHECK_NOT_FOUND = 20,
    SERPORT_CHECK_ACCESS_DENIED = 30,
    SERPORT_CHECK_OTHER_ERROR = 40,
};

// Operation identifiers, passed to SerPort_Exception by a caller whose operation failed.
enum SerPort_Operation : int {
    SERPORT_ID_CHECK = -10,
    SERPORT_ID_OPEN = -11,
    SERPORT_ID_WRITE = -12,
    SERPORT_ID_READ = -13,
    SERPORT_ID_WAITFORREADS = -14,
    SERPORT_ID_WAITFORWRITES = -15,
    SERPORT_ID_PENDINGREADS = -16,
    SERPORT_ID_SENDBREAK = -17,
    SERPORT_ID_PURGEALL = -18,
    SERPORT_ID_PURGEREADS = -19,
    SERPORT_ID_PURGEWRITES = -20,
    SERPORT_ID_SETFLOWRTSCTS = -21,
    SERPORT_ID_SETFLOWXONXOFF = -22,
    SERPORT_ID_SETFLOWOFF = -23,
    SERPORT_ID_SETDTR = -24,
    SERPORT_ID_SETRTS = -25,
    SERPORT_ID_CLEARDTR = -26,
    SERPORT_ID_CLEARRTS = -27,
    SERPORT_ID_GETLINESTATE = -28,
    SERPORT_ID_GETCOMSTATUS = -29,
};

// Line-state bits returned by GetLineState.
enum {
    SERPORT_LINE_CTS = 1,
    SERPORT_LINE_DSR = 2,
    SERPORT_LINE_DCD = 4,
    SERPORT_LINE_RI = 8,
};

// Flow modes (SerPort::flowMode).
enum {
    SERPORT_FLOW_NONE = 0,
    SERPORT_FLOW_RTSCTS = 1,
    SERPORT_FLOW_XONXOFF = 2,
};

const unsigned SERPORT_RING_SIZE = 4096;
const unsigned SERPORT_MAX_CHUNK = 256;

// The line errors seen since the previous GetComStatus (or since Open).
struct SerPort_INFO {
    bool breakSeen;
    bool parityError;
    bool framingError;
    bool overrunError;
    bool rxOverflow;
    bool anyError;
    bool valid;
};

// A failed port operation as an exception: the code, the operation and a ready-made message.
class SerPort_Exception : public std::exception {
public:
    // Build it right after the failing call: it reads the system's last error.
    SerPort_Exception(int memberId, int errorCode) noexcept;
    virtual ~SerPort_Exception() noexcept;
    virtual const char* what() const noexcept;
    virtual int Member() const noexcept;
    virtual int Errno() const noexcept;

private:
    int32_t memberId;
    int32_t errorCode;
    char text[1024];
};

// The rings, their locks and counters, the events and the device descriptor that the worker
// shares with the port; defined inside the library.
struct SerPort_Link;

class SerPort {
public:
    SerPort();
    virtual ~SerPort();

    void init();
    bool isOpen();

    // Probe: 0 usable, 10 not a serial device, 20 not found, 30 access denied or in use,
    // 40 any other error; -105 on an open port, -110 for a null name.
    int Check(const char* device);
    // Open for exclusive use with bitrate, format ("8N1": data bits 6..8, parity N/O/E, stop
    // bits 1..2) and driver queue size in KiB (4..1024), and start the worker.
    int Open(const char* device, int bitrate, const char* format, int queueKiB);
    // Stop the worker, restore the device's previous settings, release everything.
    void Close();

    // Buffered transfers (application thread).
    int Write(const void* src, unsigned len);
    int Read(void* dst, unsigned len);
    int WaitForWrites();
    // Waits up to timeoutMs for received bytes and returns how many wait (0 on a quiet line).
    // Once the device has failed (a USB adapter unplugged) and no byte is left, it returns
    // SERPORT_E_WAITFORSINGLEOBJECT at once, with the device's error as the system error.
    int WaitForReads(int timeoutMs);
    int PendingReads();
    int PurgeWrites();
    int PurgeReads();
    int PurgeAll();

    // Line control and status (application thread, no ring lock taken).
    int SetRTS();
    int ClearRTS();
    int SetDTR();
    int ClearDTR();
    int SetFlowOff();
    int SetFlowXonXoff();
    int SetFlowRtsCts();
    // Holds a break for 250 ms. Bytes already handed to the driver are not lost: on Windows the
    // break starts at once and they follow it; on Linux the kernel starts a break only once the
    // driver's output queue is empty, so the break follows them, and SendBreak waits for them
    // at most as long as they take at the line's rate (plus 100 ms), then gives up with
    // SERPORT_E_SETCOMMBREAK (EBUSY) rather than wait on a line that flow control holds off.
    // Neither waits for the transmit ring or pauses the worker.
    int SendBreak();
    int GetLineState();
    int GetComStatus(SerPort_INFO* info);

    // The worker's entry: runs txrx_thread_run on the link passed as arg (nothing when null).
    static SerPort_ThreadResult SERPORT_THREAD_CALL txrx_thread_start(void* arg);
    static void txrx_thread_run(SerPort_Link& link);

private:
    SerPort(const SerPort&) = delete;
    SerPort& operator=(const SerPort&) = delete;

    // Shared by both back ends' Open and Close.
    int BeginOpen(const char* device, int bitrate, const char* format, int queueKiB, char (&name)[256]);
    int StartWorker(int bitrate);
    bool StopWorker();
    void ReleaseLink(bool workerLeftRunning);
    int SetFlowBits(int mode);
    int DeviceFailed();

    bool opened;
    int32_t flowMode;
    SerPort_Handle handle;
    SerPort_Settings dcb;       // working copy of the line settings
    SerPort_Settings savedDcb;  // the settings the device had before Open
    SerPort_Thread thread;
    bool threadStarted;
    SerPort_Link* link;  // null until Open has initialised the locks
    SerPort_BackEndState backEnd;
};

// Sleeps ms milliseconds with the timer resolution raised to 1 ms; returns at once for ms <= 0.
void MilliSleep(int ms);

#endif
