// Caret escapes of message texts and the baud-rate codes of serial messages.
#include <gtest/gtest.h>

#include "messages/BaudTable.h"
#include "messages/CaretText.h"

namespace qtx {
namespace {

TEST(CaretText, EscapesBecomeControlCharacters) {
    EXPECT_EQ(DecodeCarets("ON AIR^M^J"), "ON AIR\r\n");
    EXPECT_EQ(DecodeCarets("^["), "\x1b");
    EXPECT_EQ(DecodeCarets("^_"), "\x1f");
    EXPECT_EQ(DecodeCarets("^\\"), "\x1c");
    // "^@" is the character of code 0, which must survive inside the text.
    EXPECT_EQ(DecodeCarets("a^@b"), std::string("a\0b", 3));
}

TEST(CaretText, CaretsThatEscapeNothingStayAsTheyAre) {
    EXPECT_EQ(DecodeCarets("^"), "^");
    EXPECT_EQ(DecodeCarets("a^"), "a^");
    EXPECT_EQ(DecodeCarets("^a"), "^a");
    EXPECT_EQ(DecodeCarets("^1 ^ x"), "^1 ^ x");
    // Codes just outside 64 .. 95: "?" is 63, "`" is 96; and a byte above 127.
    EXPECT_EQ(DecodeCarets("^?^`"), "^?^`");
    EXPECT_EQ(DecodeCarets("^\xC1"), "^\xC1");
    EXPECT_EQ(DecodeCarets(""), "");
}

TEST(CaretText, AnEscapedCaretIsNotReadAgain) {
    // Two carets are one character of code 30; the scan goes on after the pair.
    EXPECT_EQ(DecodeCarets("^^"), "\x1e");
    EXPECT_EQ(DecodeCarets("^^M"), "\x1eM");
    EXPECT_EQ(DecodeCarets("^^^M"), "\x1e\r");
}

TEST(BaudTable, CodesAndTheirTexts) {
    const char* expected[] = {"2400",  "9600",  "14400",  "19200",
                              "28800", "57600", "115200", "128000"};
    for (int16_t code = 0; code < 8; ++code)
        EXPECT_EQ(BaudText(code), expected[code]) << code;
    for (int16_t code : {int16_t{8}, int16_t{-1}, int16_t{32767}, int16_t{-32768}})
        EXPECT_EQ(BaudText(code), "57600") << code;
}

}  // namespace
}  // namespace qtx
