// linestatus: shows a serial port's modem input lines and the line errors seen on it, and on
// request drives DTR and RTS and sends a break. Built only on the installed serport library.
//
//   linestatus <device> [--bitrate B] [--dtr on|off] [--rts on|off] [--break]
//
// Every operation is tried and reported on its own, so one the device refuses (a
// pseudo-terminal has no modem lines) does not hide the others. Exit status 0 when all of
// them succeeded, 1 when one failed, 2 for a bad command line.
#include <serport.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

const char USAGE[] =
    "usage: linestatus <device> [--bitrate B] [--dtr on|off] [--rts on|off] [--break]\n"
    "\n"
    "Opens a serial device (8N1, 9600 bit/s unless --bitrate says otherwise), applies the\n"
    "requested changes in the order given, then shows the modem input lines (CTS, DSR, DCD,\n"
    "RI) and the line errors seen since the device was opened.\n"
    "\n"
    "  --bitrate B    line speed in bit/s\n"
    "  --dtr on|off   raise or drop DTR\n"
    "  --rts on|off   raise or drop RTS\n"
    "  --break        send a 250 ms break\n"
    "\n"
    "Exit status: 0 when every operation succeeded, 1 when one failed, 2 for a bad command line.\n";

// One requested change: the operation's identifier (for its failure message), what it did,
// and the call itself.
struct Action {
    int memberId;
    const char* done;
    int (SerPort::*call)();
};

struct Request {
    const char* device = nullptr;
    int bitrate = 9600;
    std::vector<Action> actions;
};

[[noreturn]] void usage_error(const std::string& message) {
    std::cerr << "linestatus: " << message << "\n\n" << USAGE;
    std::exit(2);
}

Action line_action(const std::string& option, const std::string& value) {
    bool on = value == "on";
    if (!on && value != "off") usage_error(option + " takes on or off, not '" + value + "'");
    if (option == "--dtr")
        return on ? Action{SERPORT_ID_SETDTR, "DTR on", &SerPort::SetDTR}
                  : Action{SERPORT_ID_CLEARDTR, "DTR off", &SerPort::ClearDTR};
    return on ? Action{SERPORT_ID_SETRTS, "RTS on", &SerPort::SetRTS}
              : Action{SERPORT_ID_CLEARRTS, "RTS off", &SerPort::ClearRTS};
}

Request parse_request(int argc, char* argv[]) {
    Request request;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::cout << USAGE;
            std::exit(0);
        } else if (arg == "--break") {
            request.actions.push_back({SERPORT_ID_SENDBREAK, "break sent", &SerPort::SendBreak});
        } else if ((arg == "--dtr" || arg == "--rts") && has_value) {
            request.actions.push_back(line_action(arg, argv[++i]));
        } else if (arg == "--bitrate" && has_value) {
            request.bitrate = std::atoi(argv[++i]);  // Open refuses what the port cannot do
        } else if (arg.compare(0, 1, "-") == 0) {
            usage_error("'" + arg + "' is not an option, or lacks its value");
        } else if (request.device == nullptr) {
            request.device = argv[i];
        } else {
            usage_error("one device only");
        }
    }
    if (request.device == nullptr) usage_error("no device given");
    return request;
}

// The port's verdict on a device, in words; null when it is usable.
const char* check_problem(int verdict) {
    switch (verdict) {
    case SERPORT_CHECK_NOT_TTY: return "not a serial device";
    case SERPORT_CHECK_NOT_FOUND: return "no such device";
    case SERPORT_CHECK_ACCESS_DENIED: return "access denied or in use by another program";
    case SERPORT_CHECK_OTHER_ERROR: return "cannot be opened";
    default: return nullptr;
    }
}

class LineStatus {
public:
    // Opens the port; false (with the reason printed) when it cannot be used.
    bool open(const Request& request) {
        int verdict = report(SERPORT_ID_CHECK, port.Check(request.device));
        if (verdict < 0) return false;
        if (const char* problem = check_problem(verdict)) {
            std::cerr << request.device << ": " << problem << '\n';
            failed = true;
            return false;
        }
        if (report(SERPORT_ID_OPEN, port.Open(request.device, request.bitrate, "8N1", 4)) < 0)
            return false;
        std::cout << request.device << ": open at " << request.bitrate << " bit/s, 8N1\n";
        return true;
    }

    void apply(const Action& action) {
        if (report(action.memberId, (port.*action.call)()) == 0) std::cout << action.done << '\n';
    }

    void show_modem_lines() {
        int lines = report(SERPORT_ID_GETLINESTATE, port.GetLineState());
        if (lines < 0) return;
        std::cout << "modem lines: CTS " << on_off(lines & SERPORT_LINE_CTS) << ", DSR "
                  << on_off(lines & SERPORT_LINE_DSR) << ", DCD " << on_off(lines & SERPORT_LINE_DCD)
                  << ", RI " << on_off(lines & SERPORT_LINE_RI) << '\n';
    }

    void show_line_errors() {
        SerPort_INFO info;
        if (report(SERPORT_ID_GETCOMSTATUS, port.GetComStatus(&info)) < 0) return;
        std::cout << "line errors:";
        if (!info.anyError) std::cout << " none";
        if (info.breakSeen) std::cout << " break";
        if (info.parityError) std::cout << " parity";
        if (info.framingError) std::cout << " framing";
        if (info.overrunError) std::cout << " overrun";
        if (info.rxOverflow) std::cout << " input-overflow";
        std::cout << '\n';
    }

    bool anyFailed() const { return failed; }

private:
    static const char* on_off(int bit) { return bit != 0 ? "on" : "off"; }

    // A failed operation prints the port's own message, built at once while the system's
    // last error still describes the failure.
    int report(int memberId, int result) {
        if (result < 0) {
            std::cerr << SerPort_Exception(memberId, result).what() << '\n';
            failed = true;
        }
        return result;
    }

    SerPort port;  // closing it puts the device's previous settings back
    bool failed = false;
};

}  // namespace

int main(int argc, char* argv[]) {
    Request request = parse_request(argc, argv);
    LineStatus status;
    if (!status.open(request)) return 1;
    for (const Action& action : request.actions) status.apply(action);
    status.show_modem_lines();
    status.show_line_errors();
    return status.anyFailed() ? 1 : 0;
}
