// The Windows back end's line control and status: RTS and DTR, the flow modes, the break, the
// modem input lines and the line-error status. None of these touches the rings or the worker.
#include "serport.h"
#include "win32_calls.h"

namespace {

Win32Calls& sys = win32_calls;

const DWORD BREAK_HOLD_MS = 250;

int escape(HANDLE handle, DWORD function) {
    if (!sys.EscapeCommFunction(handle, function)) return SERPORT_E_ESCAPECOMMFUNCTION;
    return 0;
}

}  // namespace

int SerPort::SetRTS() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (flowMode == SERPORT_FLOW_RTSCTS) return SERPORT_E_HW_FLOW;
    return escape(handle, SETRTS);
}

int SerPort::ClearRTS() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (flowMode == SERPORT_FLOW_RTSCTS) return SERPORT_E_HW_FLOW;
    return escape(handle, CLRRTS);
}

int SerPort::SetDTR() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    return escape(handle, SETDTR);
}

int SerPort::ClearDTR() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    return escape(handle, CLRDTR);
}

// Rewrites the flow bits whatever the mode was; the mode changes only once the device took them.
int SerPort::SetFlowBits(int mode) {
    dcb.fOutxCtsFlow = mode == SERPORT_FLOW_RTSCTS;
    dcb.fOutX = mode == SERPORT_FLOW_XONXOFF;
    dcb.fInX = mode == SERPORT_FLOW_XONXOFF;
    dcb.fRtsControl = mode == SERPORT_FLOW_RTSCTS ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    if (!sys.SetCommState(handle, &dcb)) return SERPORT_E_SETCOMMSTATE;
    flowMode = mode;
    return 0;
}

int SerPort::SetFlowOff() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    return SetFlowBits(SERPORT_FLOW_NONE);
}

int SerPort::SetFlowXonXoff() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    return SetFlowBits(SERPORT_FLOW_XONXOFF);
}

int SerPort::SetFlowRtsCts() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    return SetFlowBits(SERPORT_FLOW_RTSCTS);
}

// Starts at once, without waiting for queued bytes to leave.
int SerPort::SendBreak() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (!sys.SetCommBreak(handle)) return SERPORT_E_SETCOMMBREAK;
    sys.Sleep(BREAK_HOLD_MS);
    if (!sys.ClearCommBreak(handle)) return SERPORT_E_CLEARCOMMBREAK;
    return 0;
}

// DCD and RI swap places against the modem status word: DCD is bit 2, RI bit 3.
int SerPort::GetLineState() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    DWORD status;
    if (!sys.GetCommModemStatus(handle, &status)) return SERPORT_E_GETCOMMMODEMSTATUS;
    return ((status & MS_CTS_ON) ? SERPORT_LINE_CTS : 0) | ((status & MS_DSR_ON) ? SERPORT_LINE_DSR : 0) |
           ((status & MS_RLSD_ON) ? SERPORT_LINE_DCD : 0) | ((status & MS_RING_ON) ? SERPORT_LINE_RI : 0);
}

// Reading the error mask also clears it, so each error is reported once.
int SerPort::GetComStatus(SerPort_INFO* info) {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (info == nullptr) return SERPORT_E_INVALID_ARG;
    DWORD errors;
    if (!sys.ClearCommError(handle, &errors, NULL)) return SERPORT_E_CLEARCOMMERROR;
    info->breakSeen = (errors & CE_BREAK) != 0;
    info->parityError = (errors & CE_RXPARITY) != 0;
    info->framingError = (errors & CE_FRAME) != 0;
    info->overrunError = (errors & CE_OVERRUN) != 0;
    info->rxOverflow = (errors & CE_RXOVER) != 0;
    info->anyError = info->breakSeen || info->parityError || info->framingError ||
                     info->overrunError || info->rxOverflow;
    info->valid = true;
    return 0;
}
