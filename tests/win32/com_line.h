// The serial line the COM port runner gives a Windows test program: the port under test and,
// bridged to it, the far end, which the test plays itself.
#ifndef QUORVANE_TESTS_WIN32_COM_LINE_H
#define QUORVANE_TESTS_WIN32_COM_LINE_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.h"

inline const char* runner_port(const char* variable) {
    const char* name = std::getenv(variable);
    if (name == nullptr) throw std::runtime_error(std::string(variable) + " is not set: run under run_with_com_port.py");
    return name;
}

// The port under test, "\\.\COMn".
inline const char* port_name() { return runner_port("QUORVANE_PORT"); }

// The far end of the line, opened with plain Windows calls: what the port sends arrives here.
class FarSide {
public:
    FarSide() {
        handle_ = ::CreateFileA(runner_port("QUORVANE_FAR_PORT"), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (handle_ == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open the far side");
        COMMTIMEOUTS immediate = {MAXDWORD, 0, 0, 0, 0};
        ::SetCommTimeouts(handle_, &immediate);
    }
    ~FarSide() { ::CloseHandle(handle_); }
    FarSide(const FarSide&) = delete;
    FarSide& operator=(const FarSide&) = delete;

    void send(const std::vector<uint8_t>& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            DWORD n = 0;
            if (!::WriteFile(handle_, bytes.data() + done, (DWORD)(bytes.size() - done), &n, NULL))
                throw std::runtime_error("far side write failed");
            done += n;
        }
    }
    void send(const std::string& text) const { send(std::vector<uint8_t>(text.begin(), text.end())); }

    // Reads until done(bytes so far) holds or timeoutMs has passed.
    std::vector<uint8_t> receiveUntil(const std::function<bool(const std::vector<uint8_t>&)>& done,
                                      int timeoutMs = 5000) const {
        std::vector<uint8_t> got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done(got) && std::chrono::steady_clock::now() < deadline) {
            uint8_t buf[4096];
            DWORD n = 0;
            if (::ReadFile(handle_, buf, sizeof buf, &n, NULL) && n > 0) got.insert(got.end(), buf, buf + n);
            else ::Sleep(1);
        }
        return got;
    }
    std::vector<uint8_t> receive(size_t count, int timeoutMs = 5000) const {
        return receiveUntil([count](const std::vector<uint8_t>& got) { return got.size() >= count; }, timeoutMs);
    }

private:
    HANDLE handle_;
};

#endif
