// The fast ordering leaves exactly the order of the literal exchange passes.
#include <gtest/gtest.h>

#include <random>

#include "database/EventOrder.h"

namespace qtx {
namespace {

struct Row {
    int16_t Day;
    std::string Time;
    int Id;
};

void ExpectSameOrder(std::vector<Row> t, const std::string& what) {
    std::vector<Row> reference = t;
    OrderByExchangePasses(reference);
    OrderEventTable(t);
    for (size_t i = 0; i < t.size(); ++i)
        ASSERT_EQ(t[i].Id, reference[i].Id) << what << ", position " << i;
}

// n rows over few days (from -1 on) and few whole hours, some written without a leading zero.
std::vector<Row> RandomTable(std::mt19937& rng, int n, unsigned days, unsigned hours) {
    std::vector<Row> t;
    for (int i = 0; i < n; ++i) {
        const unsigned h = rng() % hours;
        t.push_back({static_cast<int16_t>(static_cast<int>(rng() % days) - 1),
                     (h < 10 && rng() % 4 == 0 ? "" : "0") + std::to_string(h) + ":00:00", i});
    }
    return t;
}

TEST(EventOrder, EqualsTheExchangePassesOnRandomTablesWithHeavyTies) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 4000; ++round)
        ExpectSameOrder(
            RandomTable(rng, static_cast<int>(rng() % 60), 1 + rng() % 5, 1 + rng() % 5),
            "round " + std::to_string(round));
    // The largest table, with times every quarter hour.
    std::vector<Row> t;
    for (int i = 0; i < 32767; ++i) {
        char time[16];
        std::snprintf(time, sizeof time, "%02u:%02u:00", static_cast<unsigned>(rng() % 24),
                      static_cast<unsigned>(rng() % 4) * 15);
        t.push_back({static_cast<int16_t>(rng() % 8), time, i});
    }
    ExpectSameOrder(t, "32767 rows");
}

TEST(EventOrder, EqualsTheExchangePassesOnSortedReversedAndOddTables) {
    std::mt19937 rng(7);
    for (int n : {2, 3, 17, 500}) {
        std::vector<Row> t = RandomTable(rng, n, 3, 4);
        std::stable_sort(t.begin(), t.end(), [](const Row& a, const Row& b) {
            return a.Day != b.Day ? a.Day < b.Day : a.Time < b.Time;
        });
        ExpectSameOrder(t, "sorted");
        std::reverse(t.begin(), t.end());
        ExpectSameOrder(t, "reversed");
    }
    // Texts longer than eight bytes, with zero bytes and high bytes, and extreme days.
    std::vector<Row> odd;
    const std::string texts[] = {"10:00:00 x", std::string("1\0", 2), "1", "\xE9", "", "10:00:00"};
    for (int i = 0; i < 300; ++i)
        odd.push_back({static_cast<int16_t>(i % 3 == 0 ? -32768 : (i % 3 == 1 ? 32767 : 0)),
                       texts[(i * 7) % 6], i});
    ExpectSameOrder(odd, "odd texts");
}

}  // namespace
}  // namespace qtx
