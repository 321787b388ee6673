#include "platform/Environment.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Environment, VariablesAreSetReadAndRemovedWithWindowsSizes) {
    ASSERT_TRUE(SetEnvironmentVariableA("VOK_TEST_VARIABLE", "value"));
    char buffer[16];
    EXPECT_EQ(GetEnvironmentVariableA("VOK_TEST_VARIABLE", buffer, sizeof buffer), 5u);
    EXPECT_STREQ(buffer, "value");
    buffer[0] = 'x';
    EXPECT_EQ(GetEnvironmentVariableA("VOK_TEST_VARIABLE", buffer, 5), 6u) << "too small: the size with the zero";
    EXPECT_EQ(buffer[0], 'x');
    ASSERT_TRUE(SetEnvironmentVariableA("VOK_TEST_VARIABLE", nullptr));
    EXPECT_EQ(GetEnvironmentVariableA("VOK_TEST_VARIABLE", buffer, sizeof buffer), 0u);
    EXPECT_EQ(GetLastError(), ERROR_ENVVAR_NOT_FOUND);
    EXPECT_FALSE(SetEnvironmentVariableA("A=B", "x"));
    EXPECT_FALSE(SetEnvironmentVariableA("", "x"));
}

TEST(Environment, SystemMessagesAreTheEnglishTextsWithTheirLineEnd) {
    char buffer[256];
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   ERROR_FILE_NOT_FOUND, 0, buffer, sizeof buffer, nullptr);
    EXPECT_STREQ(buffer, "The system cannot find the file specified.\r\n");
    EXPECT_EQ(n, std::string(buffer).size());
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_ACCESS_DENIED,
                             0, buffer, 10, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 0xDEAD, 0, buffer,
                             sizeof buffer, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, buffer, sizeof buffer,
                             nullptr),
              0u)
        << "inserts are not served";

    EXPECT_EQ(platform::SystemMessageText(ERROR_KEY_DELETED),
              "Illegal operation attempted on a registry key that has been marked for deletion.");
    EXPECT_EQ(platform::SystemMessageText(0xDEAD), "Error 57005");
}

}  // namespace
