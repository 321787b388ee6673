// What the vok subcommands print: outside text made valid UTF-8, JSON that
// never refuses a string, and failures turned into a message and a status.
#include "tools/ToolOutput.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>

namespace {

const std::string kFFFD = "\xEF\xBF\xBD";

}  // namespace

TEST(ValidUtf8, ValidTextIsUnchanged) {
    for (const std::string& text : {std::string(), std::string("COM5\t/dev/pts/7"), std::string("0.5 \xC2\xB5m"),
                                   std::string("\xE2\x82\xAC 20\xC2\xB0""C"), std::string("\xF0\x9D\x84\x9E"),
                                   std::string("nul\0inside", 10), std::string("\xEF\xBF\xBF\xF4\x8F\xBF\xBF")})
        EXPECT_EQ(ValidUtf8(text), text);
}

TEST(ValidUtf8, EveryInvalidSequenceBecomesOneReplacement) {
    EXPECT_EQ(ValidUtf8("\xFF\xFE"), kFFFD + kFFFD);                         // bytes that never occur
    EXPECT_EQ(ValidUtf8("V3\x80"), "V3" + kFFFD);                            // a stray continuation byte
    EXPECT_EQ(ValidUtf8("ab\xE2\x82"), "ab" + kFFFD);                        // cut off at the end
    EXPECT_EQ(ValidUtf8("\xE2\x82x"), kFFFD + "x");                          // cut off mid-text
    EXPECT_EQ(ValidUtf8("\xC0\xAF"), kFFFD + kFFFD);                         // overlong '/'
    EXPECT_EQ(ValidUtf8("\xE0\x80\xAF"), kFFFD + kFFFD + kFFFD);             // overlong in three bytes
    EXPECT_EQ(ValidUtf8("\xED\xA0\x80"), kFFFD + kFFFD + kFFFD);             // a UTF-16 surrogate
    EXPECT_EQ(ValidUtf8("\xF4\x90\x80\x80"), kFFFD + kFFFD + kFFFD + kFFFD); // past U+10FFFF
    EXPECT_EQ(ValidUtf8("\xF5"), kFFFD);
    // Latin-1 text, as an ANSI code page writes it.
    EXPECT_EQ(ValidUtf8("Halle S\xFC" "d"), "Halle S" + kFFFD + "d");
}

TEST(JsonText, StringsThatAreNotUtf8AreWrittenWithReplacements) {
    const nlohmann::json value = {{"name", "\xFF\xFE"}, {"list", {"ok", "b\xC3"}}};
    std::string text;
    ASSERT_NO_THROW(text = JsonText(value));
    const nlohmann::json back = nlohmann::json::parse(text);
    EXPECT_EQ(back["name"], kFFFD + kFFFD);
    EXPECT_EQ(back["list"][0], "ok");
    EXPECT_EQ(back["list"][1], "b" + kFFFD);
    EXPECT_EQ(JsonText({{"a", 1}}, 2), "{\n  \"a\": 1\n}");
}

TEST(RunGuarded, AnEscapingExceptionBecomesAMessageAndStatusOne) {
    EXPECT_EQ(RunGuarded([] { return 3; }), 3);

    testing::internal::CaptureStderr();
    const int status = RunGuarded([]() -> int { throw std::runtime_error("line noise \xFF"); });
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err, "vok: line noise " + kFFFD + "\n");

    testing::internal::CaptureStderr();
    EXPECT_EQ(RunGuarded([]() -> int { throw 42; }), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "vok: unexpected failure\n");

    // What vok query's output did before: the JSON dump refusing a string.
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunGuarded([] { return static_cast<int>(nlohmann::json("\xFF").dump().size()); }), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("vok: [json.exception.type_error.316]", 0), 0u);
}
