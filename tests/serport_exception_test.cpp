// The port's failure messages: every operation name, every code's format, the "BUG!" texts and
// the system's own text for the failing call's errno.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>

#include "serport.h"

namespace {

std::string message(int member, int code, int error = 0) {
    errno = error;
    return SerPort_Exception(member, code).what();
}

struct NameCase { int member; const char* name; };
void PrintTo(const NameCase& c, std::ostream* out) { *out << c.name; }

class OperationName : public testing::TestWithParam<NameCase> {};

TEST_P(OperationName, PrintsItsOwnName) {
    EXPECT_EQ(message(GetParam().member, SERPORT_E_NOT_OPEN),
              std::string(GetParam().name) + ": Device not open");
}

INSTANTIATE_TEST_SUITE_P(
    AllIds, OperationName,
    testing::Values(NameCase{-10, "Check()"}, NameCase{-11, "Open()"}, NameCase{-12, "Write()"},
                    NameCase{-13, "Read()"}, NameCase{-14, "WaitForReads()"},
                    NameCase{-15, "WaitForWrites()"}, NameCase{-16, "PendingReads()"},
                    NameCase{-17, "SendBreak()"}, NameCase{-18, "PurgeAll()"},
                    NameCase{-19, "PurgeReads()"}, NameCase{-20, "PurgeWrites()"},
                    NameCase{-21, "SetFlowRtsCts()"}, NameCase{-22, "SetFlowXonXoff()"},
                    NameCase{-23, "SetFlowOff()"}, NameCase{-24, "SetDtr()"},
                    NameCase{-25, "SetRts()"}, NameCase{-26, "ClearDtr()"},
                    NameCase{-27, "ClearRts()"}, NameCase{-28, "GetLineState()"},
                    NameCase{-29, "GetComStatus()"}));

struct CodeCase { int code; const char* text; };
void PrintTo(const CodeCase& c, std::ostream* out) { *out << c.code; }

class CodeFormat : public testing::TestWithParam<CodeCase> {};

// errno is ENOENT for every case, so the platform formats end in its text.
TEST_P(CodeFormat, FillsTheFormat) {
    std::string expected = std::string("Read(): ") + GetParam().text;
    if (expected.find("failed: ") != std::string::npos) expected += std::strerror(ENOENT);
    EXPECT_EQ(message(SERPORT_ID_READ, GetParam().code, ENOENT), expected);
}

INSTANTIATE_TEST_SUITE_P(
    AllCodes, CodeFormat,
    testing::Values(CodeCase{-100, "Device not open"}, CodeCase{-105, "Device already open"},
                    CodeCase{-110, "Invalid argument"},
                    CodeCase{-115, "Hardware control flow enabled"},
                    CodeCase{-200, "WIN32 SetupComm() failed: "},
                    CodeCase{-205, "WIN32 CreateFile() failed: "},
                    CodeCase{-210, "WIN32 CreateEvent() failed: "},
                    CodeCase{-215, "WIN32 CreateThread() failed: "},
                    CodeCase{-220, "WIN32 GetCommState() failed: "},
                    CodeCase{-225, "WIN32 SetCommState() failed: "},
                    CodeCase{-230, "WIN32 SetCommBreak() failed: "},
                    CodeCase{-235, "WIN32 ClearCommBreak() failed: "},
                    CodeCase{-240, "WIN32 SetCommTimeouts() failed: "},
                    CodeCase{-245, "WIN32 FlushFileBuffers() failed: "},
                    CodeCase{-250, "WIN32 EscapeCommFunction() failed: "},
                    CodeCase{-255, "WIN32 GetCommModemStatus() failed: "},
                    CodeCase{-260, "WIN32 WaitForSingleObject() failed: "},
                    CodeCase{-265, "WIN32 ClearCommError() failed: "},
                    CodeCase{-270, "WIN32 PurgeComm() failed: "},
                    CodeCase{-101, "BUG! Unknow error Id (-101)"},
                    CodeCase{-275, "BUG! Unknow error Id (-275)"},
                    CodeCase{0, "BUG! Unknow error Id (0)"}));

TEST(SerPortException, FailedOpenCarriesTheSystemText) {
    EXPECT_EQ(message(SERPORT_ID_OPEN, SERPORT_E_CREATEFILE, EACCES),
              std::string("Open(): WIN32 CreateFile() failed: ") + std::strerror(EACCES));
}

TEST(SerPortException, ErrnoWithoutTextGetsTheFallback) {
    EXPECT_EQ(message(SERPORT_ID_WRITE, SERPORT_E_PURGECOMM, 99999),
              "Write(): WIN32 PurgeComm() failed: error code 0x0001869F (see errno.h)");
}

TEST(SerPortException, UnknownMemberIgnoresTheCodeAndKeepsBothNumbers) {
    errno = ENOENT;
    SerPort_Exception below(-9, SERPORT_E_NOT_OPEN);
    SerPort_Exception above(-30, SERPORT_E_CREATEFILE);
    EXPECT_STREQ(below.what(), "BUG! Unknow member Id (-9)");
    EXPECT_STREQ(above.what(), "BUG! Unknow member Id (-30)");
    EXPECT_EQ(below.Member(), -9);
    EXPECT_EQ(below.Errno(), SERPORT_E_NOT_OPEN);
    EXPECT_EQ(above.Errno(), SERPORT_E_CREATEFILE);
}

TEST(SerPortException, IsAStandardExceptionWithItsNumbers) {
    try {
        throw SerPort_Exception(SERPORT_ID_WAITFORREADS, SERPORT_E_INVALID_ARG);
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "WaitForReads(): Invalid argument");
        const SerPort_Exception& port = dynamic_cast<const SerPort_Exception&>(e);
        EXPECT_EQ(port.Member(), SERPORT_ID_WAITFORREADS);
        EXPECT_EQ(port.Errno(), SERPORT_E_INVALID_ARG);
    }
}

}  // namespace
