// The strict readers of typed input, shared by the event tool, the console and the rules.
#include <gtest/gtest.h>

#include "common/Parse.h"

namespace qtx {
namespace {

TEST(Parse, WholeNumbersAreDigitsWithAnOptionalSignAndNothingElse) {
    const struct {
        const char* Text;
        std::optional<long long> Value;
    } cases[] = {
        {"0", 0},   {"42", 42},  {"+7", 7},    {"-12", -12}, {"", {}},
        {"+", {}},  {"-", {}},   {"++1", {}},  {"+-1", {}},  {" 5", {}},
        {"5 ", {}}, {"1e3", {}}, {"0x10", {}}, {"3.0", {}},  {"99999999999999999999", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseWholeNumber(c.Text), c.Value) << '"' << c.Text << '"';
}

TEST(Parse, DottedAddressesAreFourPartsOfAtMostThreeDigitsUpTo255) {
    for (const char* good : {"127.0.0.1", "0.0.0.0", "255.255.255.255", "010.001.0.9"})
        EXPECT_TRUE(IsDottedAddress(good)) << good;
    for (const char* bad :
         {"", "127.0.0", "127.0.0.1.", ".127.0.0.1", "127..0.1", "256.0.0.1", "1.2.3.4.5",
          "1.2.3.0004", " 1.2.3.4", "1.2.3.4 ", "1.2.3.-4", "1.2.3.+4", "a.b.c.d"})
        EXPECT_FALSE(IsDottedAddress(bad)) << bad;
}

TEST(Parse, TimesOfDayAreTwoDigitsEachWithinTheDay) {
    for (const char* good : {"00:00:00", "23:59:59", "06:00:00"})
        EXPECT_TRUE(IsTimeOfDay(good)) << good;
    for (const char* bad : {"24:00:00", "23:60:00", "23:59:60", "6:00:00", "06:00", "06-00-00",
                            "06:00:00 ", "0a:00:00"})
        EXPECT_FALSE(IsTimeOfDay(bad)) << bad;
}

}  // namespace
}  // namespace qtx
