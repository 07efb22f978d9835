// The event form written as text in one pass: the same text a JSON document of the event writes
// (so versions do not depend on the path), and always valid JSON whatever the stored bytes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "console/ApiError.h"
#include "console/EventJson.h"
#include "console/EventText.h"

namespace qtx::console {
namespace {

using nlohmann::json;
using namespace qtx::schedule;

std::string TextOf(const Event& e) {
    std::string out;
    AppendEventJson(out, e);
    return out;
}

Event Base() {
    Event e;
    e.Number = 100;
    e.Title = "Morning feed";
    e.Days = {0, 2, 6};
    e.Time = "06:00:00";
    return e;
}

TEST(EventText, EachActionAndConditionIsTheDocumentsText) {
    struct Case {
        const char* name;
        void (*change)(Event&);
        json actions;
    };
    const Case cases[] = {
        {"none", [](Event&) {}, json::array()},
        {"take",
         [](Event& e) {
             e.Do.Crosspoint = CrosspointAction{CrosspointKind::SumOff, 3, 1};
         },
         {{{"kind", "sum-off"}, {"source", 3}, {"destination", 1}}}},
        {"salvo",
         [](Event& e) { e.Do.Salvo = SalvoAction{5}; },
         {{{"kind", "salvo"}, {"salvo", 5}}}},
        {"relay",
         [](Event& e) {
             e.Do.Relay = RelayAction{RelayMode::Pulse, 4};
         },
         {{{"kind", "relay"}, {"mode", "pulse"}, {"relay", 4}}}},
        {"gain",
         [](Event& e) {
             e.Do.Gain = GainAction{GainTarget::Destination, 2, -900};
         },
         {{{"kind", "gain"}, {"target", "destination"}, {"channel", 2}, {"gain", -900}}}},
        {"ip text",
         [](Event& e) {
             e.Do.Message =
                 MessageAction{MessageTo::Ip, MessageContent::Text, "GO^M", "127.0.0.1", 7000};
         },
         {{{"kind", "message"},
           {"to", "ip"},
           {"address", "127.0.0.1"},
           {"port", 7000},
           {"text", "GO^M"}}}},
        {"serial file",
         [](Event& e) {
             e.Do.Message =
                 MessageAction{MessageTo::Serial, MessageContent::File, "/m/a.txt", "", 2, 1};
         },
         {{{"kind", "message"}, {"to", "serial"}, {"port", 2}, {"baud", 1}, {"file", "/m/a.txt"}}}},
        {"switcher",
         [](Event& e) {
             e.Do.Message =
                 MessageAction{MessageTo::Switcher, MessageContent::Text, "A", "", 3, 0, 1, 2};
         },
         {{{"kind", "message"},
           {"to", "switcher"},
           {"frame", 1},
           {"slot", 2},
           {"port", 3},
           {"text", "A"}}}},
        {"all, with a condition, no time, no day",
         [](Event& e) {
             e.Do.Crosspoint = CrosspointAction{CrosspointKind::Take, 1, 2};
             e.Do.Salvo = SalvoAction{7};
             e.Do.Message =
                 MessageAction{MessageTo::Ip, MessageContent::File, "/f", "127.0.0.9", 1};
             e.When = Condition{false, 2, 4};
             e.Time.reset();
             e.Days.clear();
             e.Mark = Marking::SkipNext;
         },
         {{{"kind", "take"}, {"source", 1}, {"destination", 2}},
          {{"kind", "salvo"}, {"salvo", 7}},
          {{"kind", "message"},
           {"to", "ip"},
           {"address", "127.0.0.9"},
           {"port", 1},
           {"file", "/f"}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Event e = Base();
        c.change(e);
        json want{{"number", e.Number},
                  {"title", e.Title},
                  {"days", json::array()},
                  {"time", e.Time ? json(*e.Time) : json(nullptr)},
                  {"marking", MarkingName(e.Mark)},
                  {"condition", nullptr},
                  {"actions", c.actions},
                  {"what", DescribeActions(e.Do)}};
        for (int d : e.Days)
            want["days"].push_back(DayShortName(d));
        if (e.When) {
            want["condition"] = {{"when", e.When->WhenOn ? "on" : "off"},
                                 {"source", e.When->Source},
                                 {"destination", e.When->Destination}};
            want["conditionText"] = DescribeCondition(e.When);
        }
        EXPECT_EQ(TextOf(e), want.dump());
        // And it reads back as the same event.
        EXPECT_EQ(EventFromJson(EventToJson(e), true), e);
    }
}

TEST(EventText, DateRulesAreFieldsOfTheDocumentAndReadBack) {
    Event e = Base();
    e.Dates.From = "2027-01-01";
    e.Dates.Until = "2027-06-30";
    e.Dates.EveryWeeks = 2;
    e.Dates.WeekOf = "2027-01-04";
    e.Dates.Except = {"uk", "closures"};
    e.Dates.Only = {"term"};
    e.Dates.Latest = "00:00:10";
    const json j = json::parse(TextOf(e));
    EXPECT_EQ(TextOf(e), j.dump());  // still the document's own text, keys in order
    EXPECT_EQ(j["from"], "2027-01-01");
    EXPECT_EQ(j["every_weeks"], 2);
    EXPECT_EQ(j["except"], json::array({"uk", "closures"}));
    EXPECT_EQ(j["latest"], "00:00:10");
    EXPECT_EQ(EventFromJson(j, true), e);
    EXPECT_FALSE(json::parse(TextOf(Base())).contains("from"));  // absent when not set
    json bad = j;
    bad["only"] = "term";
    EXPECT_THROW(EventFromJson(bad, true), ApiError);
}

TEST(EventText, StringsAreEscapedAndAlwaysValid) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain", "\"plain\""},
        {"a \"q\" \\ b", R"("a \"q\" \\ b")"},
        {"line\r\nnext\ttab\b\f", R"("line\r\nnext\ttab\b\f")"},
        {std::string("nul\0x\x1f\x7f", 7), "\"nul\\u0000x\\u001f\x7f\""},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5",
         "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5\""},
        // Not UTF-8: a lone continuation, a cut sequence, an overlong form, a surrogate.
        {"a\x80z", "\"a\xEF\xBF\xBDz\""},
        {"cut\xE2\x82", "\"cut\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        std::string out;
        AppendJsonString(out, c.in);
        EXPECT_EQ(out, c.out);
        EXPECT_TRUE(json::accept(out));
    }
}

}  // namespace
}  // namespace qtx::console
