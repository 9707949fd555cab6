// The Windows back end's line control and status: RTS and DTR, the flow bits, the break, the
// modem input lines and the line-error mask. None of these touches the rings or the worker.
#include "serport_internal.h"
#include "win32_calls.h"

namespace {

Win32Calls& sys = win32_calls;

const DWORD BREAK_HOLD_MS = 250;

}  // namespace

bool device_set_output(HANDLE device, SerPort_Output line, bool raised) {
    DWORD function = line == SERPORT_OUTPUT_RTS ? (raised ? SETRTS : CLRRTS) : (raised ? SETDTR : CLRDTR);
    return sys.EscapeCommFunction(device, function) != 0;
}

// DCD and RI swap places against the modem status word: DCD is bit 2, RI bit 3.
bool device_line_state(HANDLE device, int& lines) {
    DWORD status;
    if (!sys.GetCommModemStatus(device, &status)) return false;
    lines = ((status & MS_CTS_ON) ? SERPORT_LINE_CTS : 0) | ((status & MS_DSR_ON) ? SERPORT_LINE_DSR : 0) |
            ((status & MS_RLSD_ON) ? SERPORT_LINE_DCD : 0) | ((status & MS_RING_ON) ? SERPORT_LINE_RI : 0);
    return true;
}

// Starts at once, without waiting for queued bytes to leave.
bool device_break(HANDLE device, const SerPort_BackEndState&, bool on) {
    return (on ? sys.SetCommBreak(device) : sys.ClearCommBreak(device)) != 0;
}

// A plain sleep: the timer resolution is not raised for the break.
void break_hold() { sys.Sleep(BREAK_HOLD_MS); }

void settings_set_flow(DCB& dcb, int mode) {
    dcb.fOutxCtsFlow = mode == SERPORT_FLOW_RTSCTS;
    dcb.fOutX = mode == SERPORT_FLOW_XONXOFF;
    dcb.fInX = mode == SERPORT_FLOW_XONXOFF;
    dcb.fRtsControl = mode == SERPORT_FLOW_RTSCTS ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
}

bool settings_write(HANDLE device, const DCB& dcb) {
    return sys.SetCommState(device, const_cast<DCB*>(&dcb)) != 0;
}

// Reading the error mask also clears it, so each error is reported once.
bool device_line_errors(HANDLE device, SerPort_BackEndState&, unsigned& errors) {
    DWORD mask;
    if (!sys.ClearCommError(device, &mask, NULL)) return false;
    errors = ((mask & CE_BREAK) ? SERPORT_LINE_ERROR_BREAK : 0) |
             ((mask & CE_RXPARITY) ? SERPORT_LINE_ERROR_PARITY : 0) |
             ((mask & CE_FRAME) ? SERPORT_LINE_ERROR_FRAME : 0) |
             ((mask & CE_OVERRUN) ? SERPORT_LINE_ERROR_OVERRUN : 0) |
             ((mask & CE_RXOVER) ? SERPORT_LINE_ERROR_RX_OVERFLOW : 0);
    return true;
}
