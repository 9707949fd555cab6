// The Windows back end on a real line under Wine: a pty mapped as a COM port, with the far end
// played by the test. Lifecycle, line settings, both rings, waits, purges, probe verdicts and
// the break; the failures a pty cannot produce are in serport_win32_faults_test.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "com_line.h"
#include "serport.h"

namespace {

class Line : public testing::Test {
protected:
    void open(int bitrate = 115200, const char* format = "8N1") {
        ASSERT_EQ(port.Open(port_name(), bitrate, format, 32), 0);
    }

    FarSide remote;
    SerPort port;
};

// The device's settings as a second handle sees them (Wine lets a COM port be opened twice).
DCB settings_of(const char* device) {
    HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(GetCommState(h, &dcb));
    CloseHandle(h);
    return dcb;
}

void set_settings(const char* device, DWORD bitrate, BYTE stopBits) {
    HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = bitrate;
    dcb.StopBits = stopBits;
    ASSERT_TRUE(SetCommState(h, &dcb));
    CloseHandle(h);
}

TEST_F(Line, RefusesASecondOpenAndClosesToTheClosedState) {
    open();
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(port.Open(port_name(), 115200, "8N1", 32), SERPORT_E_ALREADY_OPEN);
    EXPECT_EQ(port.Check(port_name()), SERPORT_E_ALREADY_OPEN);
    port.Close();
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.Write("x", 1), SERPORT_E_NOT_OPEN);
    port.Close();
    open();
}

// A pty keeps the rate and the stop bits but always reads back 8 data bits and no parity; the
// other fields of the record are checked through the call table.
TEST_F(Line, OpenAppliesItsSettingsAndCloseRestoresTheDevicesOwn) {
    set_settings(port_name(), 19200, ONESTOPBIT);
    open(57600, "8N2");
    DCB during = settings_of(port_name());
    EXPECT_EQ(during.BaudRate, 57600u);
    EXPECT_EQ(during.StopBits, TWOSTOPBITS);
    port.Close();
    DCB after = settings_of(port_name());
    EXPECT_EQ(after.BaudRate, 19200u);
    EXPECT_EQ(after.StopBits, ONESTOPBIT);
}

// More than a ringful each way at once: the receive ring fills and pauses reading while the
// transmit side keeps draining, and nothing is lost or reordered in either direction.
TEST_F(Line, BytesCrossBothRingsInOrder) {
    open();
    const std::vector<uint8_t> out = pattern(10000, 1), in = pattern(10000, 2);
    std::vector<uint8_t> arrived;
    std::thread target([&] {
        remote.send(in);
        arrived = remote.receive(out.size(), 20000);
    });
    // No early return while the far side's thread runs: a failure ends the loops instead.
    size_t sent = 0;
    int result = 0;
    while (sent < out.size() && result >= 0) {
        result = port.Write(out.data() + sent, (unsigned)(out.size() - sent));
        if (result > 0) sent += (size_t)result;
        else if (result == 0) result = port.WaitForWrites();
    }
    EXPECT_EQ(sent, out.size());
    EXPECT_EQ(port.WaitForWrites(), 0);
    std::vector<uint8_t> received;
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (received.size() < in.size() && Clock::now() < deadline && result >= 0) {
        result = port.WaitForReads(500);
        uint8_t buf[1000];
        int n = port.Read(buf, sizeof buf);
        EXPECT_LE(port.PendingReads(), 4095);
        if (n > 0) received.insert(received.end(), buf, buf + n);
    }
    EXPECT_GE(result, 0);
    target.join();
    EXPECT_EQ(received, in);
    EXPECT_EQ(arrived, out);
}

TEST_F(Line, WaitForReadsTimesOutEmptyAndReturnsAtOnceWhenBytesWait) {
    open();
    auto start = Clock::now();
    EXPECT_EQ(port.WaitForReads(300), 0);
    EXPECT_GE(ms_since(start), 280);
    EXPECT_EQ(port.WaitForReads(0), SERPORT_E_INVALID_ARG);
    EXPECT_EQ(port.WaitForReads(-1), SERPORT_E_INVALID_ARG);

    remote.send("abc");
    start = Clock::now();
    int got = port.WaitForReads(5000);
    EXPECT_GE(got, 1);
    EXPECT_LT(ms_since(start), 2000);
    ASSERT_TRUE(eventually([&] { return port.PendingReads() == 3; }));
    start = Clock::now();
    EXPECT_EQ(port.WaitForReads(5000), 3);
    EXPECT_LT(ms_since(start), 500);
    char text[8] = {};
    EXPECT_EQ(port.Read(text, sizeof text), 3);
    EXPECT_STREQ(text, "abc");
}

TEST_F(Line, PurgeReadsDropsEverythingThatArrivedBefore) {
    open();
    remote.send(pattern(100));
    ASSERT_TRUE(eventually([&] { return port.PendingReads() == 100; }));
    EXPECT_EQ(port.PurgeReads(), 0);
    EXPECT_EQ(port.PendingReads(), 0);
    remote.send("xyz");
    ASSERT_TRUE(eventually([&] { return port.PendingReads() == 3; }));
    char text[8] = {};
    EXPECT_EQ(port.Read(text, sizeof text), 3);
    EXPECT_STREQ(text, "xyz");
}

TEST_F(Line, BytesWrittenAfterAPurgeAllGoOut) {
    open();
    std::vector<uint8_t> old = pattern(4096);
    ASSERT_EQ(port.Write(old.data(), (unsigned)old.size()), 4096);
    EXPECT_EQ(port.PurgeAll(), 0);
    ASSERT_EQ(port.Write("END", 3), 3);
    ASSERT_EQ(port.WaitForWrites(), 0);
    std::vector<uint8_t> got = remote.receiveUntil([](const std::vector<uint8_t>& bytes) {
        return bytes.size() >= 3 && std::string(bytes.end() - 3, bytes.end()) == "END";
    });
    ASSERT_GE(got.size(), 3u);
    EXPECT_LE(got.size(), 4099u);
    EXPECT_EQ(std::string(got.end() - 3, got.end()), "END");
}

TEST_F(Line, SendBreakHoldsTheLineAQuarterSecond) {
    open();
    auto start = Clock::now();
    EXPECT_EQ(port.SendBreak(), 0);
    EXPECT_GE(ms_since(start), 240);
    EXPECT_TRUE(port.isOpen());
}

TEST_F(Line, LineErrorStatusReadsClearOnAQuietLine) {
    open();
    SerPort_INFO info;
    std::memset(&info, 0xFF, sizeof info);
    ASSERT_EQ(port.GetComStatus(&info), 0);
    EXPECT_TRUE(info.valid);
    EXPECT_FALSE(info.anyError);
    EXPECT_FALSE(info.breakSeen);
}

// A pty has no modem lines: the driving calls fail, and the failure reads as one line.
TEST_F(Line, ModemLineCallsFailOnAPtyWithTheirCodeAndSystemText) {
    open();
    ASSERT_EQ(port.SetDTR(), SERPORT_E_ESCAPECOMMFUNCTION);
    EXPECT_NE(GetLastError(), 0u);
    std::string text = SerPort_Exception(SERPORT_ID_SETDTR, SERPORT_E_ESCAPECOMMFUNCTION).what();
    const std::string prefix = "SetDtr(): WIN32 EscapeCommFunction() failed: ";
    ASSERT_EQ(text.compare(0, prefix.size(), prefix), 0) << text;
    EXPECT_GT(text.size(), prefix.size());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(port.GetLineState(), SERPORT_E_GETCOMMMODEMSTATUS);
    EXPECT_TRUE(port.isOpen());
}

TEST(Check, TellsAPortFromAMissingOneAndFromAFile) {
    char file[MAX_PATH];
    std::snprintf(file, sizeof file, "check-probe-%lu.txt", GetCurrentProcessId());
    HANDLE h = CreateFileA(file, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);

    SerPort port;
    EXPECT_EQ(port.Check(port_name()), SERPORT_CHECK_USABLE);
    EXPECT_EQ(port.Check("\\\\.\\COM249"), SERPORT_CHECK_NOT_FOUND);
    EXPECT_EQ(port.Check(file), SERPORT_CHECK_NOT_TTY);
    EXPECT_EQ(port.Check(nullptr), SERPORT_E_INVALID_ARG);
    EXPECT_FALSE(port.isOpen());
    DeleteFileA(file);
}

TEST(Open, AMissingPortFailsInCreateFileWithTheSystemsReason) {
    SerPort port;
    ASSERT_EQ(port.Open("\\\\.\\COM249", 115200, "8N1", 32), SERPORT_E_CREATEFILE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(port.isOpen());
}

}  // namespace
