// The port's failure messages on Windows: the platform formats carry the system's own text for
// the thread's last error, on one line, or the fallback when the system has none. The wording
// is the system's (Wine's differs from Windows'), so the text is checked for its structure.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

#include "serport.h"

namespace {

std::string message(int member, int code, DWORD error) {
    SetLastError(error);
    return SerPort_Exception(member, code).what();
}

const std::string CREATEFILE_PREFIX = "Open(): WIN32 CreateFile() failed: ";

TEST(SerPortExceptionWin32, PlatformFailureEndsInTheSystemTextOnOneLine) {
    std::string text = message(SERPORT_ID_OPEN, SERPORT_E_CREATEFILE, ERROR_ACCESS_DENIED);
    ASSERT_EQ(text.compare(0, CREATEFILE_PREFIX.size(), CREATEFILE_PREFIX), 0) << text;
    std::string system = text.substr(CREATEFILE_PREFIX.size());
    EXPECT_FALSE(system.empty());
    EXPECT_EQ(system.find("error code 0x"), std::string::npos) << "the system has a text for 5";
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
}

TEST(SerPortExceptionWin32, DifferentErrorsGiveDifferentTexts) {
    EXPECT_NE(message(SERPORT_ID_OPEN, SERPORT_E_CREATEFILE, ERROR_ACCESS_DENIED),
              message(SERPORT_ID_OPEN, SERPORT_E_CREATEFILE, ERROR_FILE_NOT_FOUND));
}

// Bit 29 marks an application's own error codes: the system has no text for them.
TEST(SerPortExceptionWin32, ErrorWithoutSystemTextGetsTheFallback) {
    EXPECT_EQ(message(SERPORT_ID_WRITE, SERPORT_E_PURGECOMM, 0x20000005),
              "Write(): WIN32 PurgeComm() failed: error code 0x20000005 (see windows.h)");
}

TEST(SerPortExceptionWin32, PortConditionsAndUnknownIdsIgnoreTheLastError) {
    EXPECT_EQ(message(SERPORT_ID_WAITFORREADS, SERPORT_E_INVALID_ARG, ERROR_ACCESS_DENIED),
              "WaitForReads(): Invalid argument");
    EXPECT_EQ(message(-30, SERPORT_E_CREATEFILE, ERROR_ACCESS_DENIED), "BUG! Unknow member Id (-30)");
    EXPECT_EQ(message(SERPORT_ID_WRITE, -101, ERROR_ACCESS_DENIED), "Write(): BUG! Unknow error Id (-101)");
}

}  // namespace
