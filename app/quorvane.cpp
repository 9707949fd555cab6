// quorvane: replaces a target's firmware over a serial line.
//
//   quorvane <filename> <devicename> <bitrate> [timeout]
//
// Syncs with the target, sends the start command and uploads the image record by record, each
// acknowledged, rejected (and sent again) or paused by the target. Exit status 0 on success,
// -1 otherwise.
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <memory>

#include "firmware_image.h"
#include "generic_exception.h"
#include "serport.h"
#include "stop_flag.h"

namespace {

void say(const char* text) { std::cout << text << std::endl; }

}  // namespace

void display_copyright() {
    say("");
    say("                       QUORVANE_ZELK v1.0                       ");
    say("");
    say(" Copyright (c) the quorvane developers. All rights reserved.");
    say("");
}

void display_usage() {
    say(" usage: quorvane  <filename> <devicename> <bitrate> [timeout]");
    say("");
    say("   <filename>     File with the flash upgrade firmware.");
    std::cout << "   <devicename>   Communications port (i.e. " << "\\\\.\\COM1" << ", "
              << "\\\\.\\COM2" << ", ...)." << std::endl;
    say("   <bitrate>      Communication bitrate (9600, 19200, 38400, 57600, 115200)");
    say("   [timeout]      Syncronization timeout (optional: 5..120 sec, default 30)");
    say("");
}

// Console stop events: Ctrl+C, Ctrl+Break, close, log-off and shut-down end the upload at its
// next stop check; every other event goes on to the next handler.
unsigned long win32_handler(unsigned long event) {
    switch (event) {
    case 0: case 1: case 2: case 5: case 6:
        quit.store(true, std::memory_order_relaxed);
        return 1;
    default:
        return 0;
    }
}

#ifdef _WIN32
namespace {
BOOL WINAPI console_handler(DWORD event) { return win32_handler(event) ? TRUE : FALSE; }
}  // namespace

void install_stop_handler() { SetConsoleCtrlHandler(console_handler, TRUE); }
#else
namespace {
// Interrupt (Ctrl+C), quit (Ctrl+\, the nearest to Ctrl+Break), hang-up (the terminal closing)
// and terminate (log-off, shut-down) stand for the console events.
void posix_stop_handler(int) { quit.store(true, std::memory_order_relaxed); }
}  // namespace

void install_stop_handler() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = posix_stop_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) sigaction(sig, &action, nullptr);
}
#endif

// The uploader's port: each operation the upload uses raises SerPort_Exception with its own
// identifier on a negative result, at once, while the system's last error still describes it.
// They hide the port's own operations, so no call site can pair one with another's identifier.
class SerPort_E : public SerPort {
public:
    ~SerPort_E() override { Close(); }

    int Check(const char* device) { return raised(SERPORT_ID_CHECK, SerPort::Check(device)); }
    int Open(const char* device, int bitrate, const char* format, int queueKiB) {
        return raised(SERPORT_ID_OPEN, SerPort::Open(device, bitrate, format, queueKiB));
    }
    int Write(const void* src, unsigned len) { return raised(SERPORT_ID_WRITE, SerPort::Write(src, len)); }
    int Read(void* dst, unsigned len) { return raised(SERPORT_ID_READ, SerPort::Read(dst, len)); }
    int WaitForReads(int timeoutMs) { return raised(SERPORT_ID_WAITFORREADS, SerPort::WaitForReads(timeoutMs)); }
    int WaitForWrites() { return raised(SERPORT_ID_WAITFORWRITES, SerPort::WaitForWrites()); }
    int PurgeAll() { return raised(SERPORT_ID_PURGEALL, SerPort::PurgeAll()); }
    int PurgeReads() { return raised(SERPORT_ID_PURGEREADS, SerPort::PurgeReads()); }

private:
    static int raised(SerPort_Operation operation, int result) {
        if (result < 0) throw SerPort_Exception(operation, result);
        return result;
    }
};

namespace {

const uint8_t SYNC_REQUEST = 'x';
const uint8_t SYNC_REPLY[] = {'d', 's', 'c', '0', '1'};
const uint8_t START_COMMAND[] = {'@', '#'};
const uint8_t READY = 'F';
const uint8_t ACCEPTED = 0x06;
const uint8_t PAUSE = 0x13;
const int RESPONSE_WAIT_MS = 2000;
const int MAX_REJECTIONS = 3;

// Sync matcher: how much of the reply has been seen; a mismatch starts over without looking at
// the byte again.
int next_sync_state(int state, uint8_t byte) {
    if (state < 5 && byte == SYNC_REPLY[state]) return state + 1;
    return 0;
}

bool is_ignored_response(uint8_t byte) {
    return (byte >= 'A' && byte <= 'H') || byte == 'K' || byte == 'X';
}

// Opens, decodes and checks the file before any device is touched, so that a damaged file never
// leaves a target half-started.
void load_firmware(const char* path, FirmwareImage& image) {
    std::ifstream file(path);
    if (!file.is_open()) throw GenericException("Firmware file not found!");
    decode_firmware(file, image);
    check_firmware_records(image);
}

void open_device(SerPort_E& port, const char* deviceName, int bitrate) {
    switch (port.Check(deviceName)) {
    case SERPORT_CHECK_NOT_TTY: throw GenericException("Not a tty device!");
    case SERPORT_CHECK_NOT_FOUND: throw GenericException("Device not found!");
    case SERPORT_CHECK_ACCESS_DENIED: throw GenericException("Access denied or device in use!");
    case SERPORT_CHECK_OTHER_ERROR: throw GenericException("Device access error!");
    default: break;
    }
    port.Open(deviceName, bitrate, "8N1", 32);
    std::cout << "Serial device " << deviceName << " opened..." << std::endl;
}

// Queues all len bytes, handing the rest over as the ring drains, then waits until they are on
// the line: a record is never cut short, whatever its size.
void send_all(SerPort_E& port, const uint8_t* bytes, int32_t len) {
    while (len > 0) {
        int taken = port.Write(bytes, (unsigned)len);
        bytes += taken;
        len -= taken;
        if (len > 0 && taken == 0) port.WaitForWrites();
    }
    port.WaitForWrites();
}

// Takes the next received byte; false once the receive ring is empty.
bool next_byte(SerPort_E& port, uint8_t& byte) {
    return port.Read(&byte, 1) == 1;
}

// Sync attempts: one wait of up to 2000 ms and one drain each. At least one attempt is made,
// whatever the timeout, and a reply completed in any attempt is accepted.
void sync_with_target(SerPort_E& port, int timeoutSeconds) {
    say("Syncing with the device...");
    send_all(port, &SYNC_REQUEST, 1);
    int attempts = timeoutSeconds / 2;
    if (attempts < 1) attempts = 1;
    int state = 0;
    for (;;) {
        stop_check();
        if (port.WaitForReads(RESPONSE_WAIT_MS) > 0) {
            uint8_t byte;
            while (next_byte(port, byte)) {
                stop_check();
                state = next_sync_state(state, byte);
            }
        }
        if (state == 5) return;
        if (--attempts == 0) throw GenericException("Target is not responding.");
    }
}

void start_target(SerPort_E& port) {
    MilliSleep(500);
    port.Write(START_COMMAND, sizeof START_COMMAND);
    // Whatever the target sent before the command (repeated sync replies) is not its answer.
    port.PurgeReads();
    port.WaitForWrites();
    MilliSleep(250);
    port.WaitForReads(RESPONSE_WAIT_MS);
    uint8_t byte;
    if (!next_byte(port, byte) || byte != READY)
        throw GenericException("Target is not in sync... aborting.");
}

// The target's answer to one transmission.
struct Response {
    bool resend = false;    // at least one rejection byte came
    int rejections = 0;     // since the last acceptance
    int64_t acceptedBytes = 0;
};

// Waits for and classifies the answer to one transmission of a record of len bytes. A pause
// byte means more will follow: the wait starts again.
Response await_response(SerPort_E& port, int32_t len) {
    Response response;
    bool paused = false;  // carries over into the next wait, like the rejection count
    do {
        stop_check();
        if (port.WaitForReads(RESPONSE_WAIT_MS) == 0)
            throw GenericException("Target is not responding.");
        uint8_t byte;
        while (next_byte(port, byte)) {
            stop_check();
            if (byte == ACCEPTED) {
                response.acceptedBytes += len;
                response.rejections = 0;
                paused = false;
            } else if (byte == PAUSE) {
                MilliSleep(5);
                paused = true;
            } else if (!is_ignored_response(byte)) {
                if (++response.rejections > MAX_REJECTIONS)
                    throw GenericException("CRC error... file damaged.");
                response.resend = true;
                paused = false;
            }
        }
    } while (paused);
    return response;
}

void print_progress(int64_t percent) {
    std::cout << "Transferring... " << percent << "% done." << std::endl;
}

void transfer_records(SerPort_E& port, const FirmwareImage& image) {
    int32_t off = 0;
    int64_t acked = 0;
    int64_t previousPercent = -1;
    while (off < image.size) {
        int32_t len = firmware_record_size(image, off);
        int64_t percent = acked * 100 / image.size;
        if (percent != previousPercent) print_progress(percent);
        previousPercent = percent;
        send_all(port, image.bytes + off, len);
        Response response = await_response(port, len);
        acked += response.acceptedBytes;
        if (!response.resend) off += len;
    }
}

}  // namespace

void upload_firmware(const char* firmwarePath, const char* deviceName, int bitrate,
                     int timeoutSeconds) {
    std::unique_ptr<FirmwareImage> image(new FirmwareImage);
    load_firmware(firmwarePath, *image);
    SerPort_E port;
    open_device(port, deviceName, bitrate);
    MilliSleep(5000);  // the target settles after the line is opened
    port.PurgeAll();
    stop_check();
    sync_with_target(port, timeoutSeconds);
    start_target(port);
    MilliSleep(500);
    stop_check();  // the image was decoded up front: stop here as its decoding would have
    transfer_records(port, *image);
    port.Close();
    print_progress(100);
    say("Target updated successfully.");
}

namespace {

bool is_accepted_bitrate(const char* text) {
    for (const char* rate : {"115200", "57600", "38400", "19200", "9600"})
        if (std::strcmp(text, rate) == 0) return true;
    return false;
}

void print_failure(const char* text) {
    say("");
    say("*** Failed ***");
    say(text);
    say("");
}

}  // namespace

int main(int argc, char* argv[]) {
    display_copyright();
    if ((argc != 4 && argc != 5) || !is_accepted_bitrate(argv[3])) {
        display_usage();
        return -1;
    }
    install_stop_handler();
    int timeout = argc == 5 ? std::atoi(argv[4]) : 30;
    int bitrate = std::atoi(argv[3]);
    try {
        upload_firmware(argv[1], argv[2], bitrate, timeout);
        return 0;
    } catch (const std::exception& e) {
        const char* text = e.what();
        if (text != nullptr && *text != '\0') print_failure(text);
        return -1;
    } catch (...) {
        print_failure("Unknow exception");
        return -1;
    }
}
