// The engine's alarms end to end: a real engine (clock double), the switcher simulator and a
// webhook receiver on 127.0.0.1. Time moves on the clock; only the network is real.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "alarms/AlarmDesk.h"
#include "alarms/AlarmRoutes.h"
#include "alarms/WebhookReceiver.h"
#include "database/DBEngine.h"
#include "database/EngineSettings.h"
#include "engine/EngineAlarms.h"
#include "fixtures/SimEngine.h"

namespace qtx::test {
namespace {

using nlohmann::json;

class EngineAlarmsTest : public SimEngineTest {
  protected:
    void StartWith(const std::vector<EventRow>& rows, WebhookReceiver& hook,
                   int linkAlarmAfter = 5) {
        port_ = sim_.Listen();
        h.WriteDatabase(rows, "127.0.0.1", port_);
        {
            DBEngine engine;
            Database db = engine.OpenDatabase(h.dir.File("QTXAutomation.mdb"));
            alarms::AlarmRoute r;
            r.Target = hook.Url();
            alarms::AddRoute(db, r);
            settings::WriteSetting(db, *settings::FindKnown(settings::LinkAlarmAfter),
                                   linkAlarmAfter);
            db.Close();
        }
        h.Start();
        ASSERT_TRUE(Settle([&] { return h.vars().SwitcherConnected; }));
    }
    // Ticks (each 500 ms on the clock) until done, with the network taken in between.
    bool Settle(const std::function<bool()>& done, int ticks = 40) {
        for (int i = 0; i < ticks; ++i) {
            h.realLoop.RunFor(20);
            if (done())
                return true;
            Tick();
        }
        return done();
    }
    void Tick(int ms = 500) {
        h.clock.Advance(ms);
        h.engine->tmrTimer_Timer();
    }
    // The bodies the receiver got, as JSON.
    static std::vector<json> Bodies(const WebhookReceiver& hook) {
        std::vector<json> out;
        for (const auto& r : hook.Requests())
            out.push_back(json::parse(r.Body));
        return out;
    }
    alarms::AlarmDesk& Desk() { return *h.engine->Alarms().Desk(); }
};

// The switcher going offline and the server going away: link-down only after LinkAlarmAfter,
// once, and cleared with lasted_s when the switcher is back.
TEST_F(EngineAlarmsTest, LinkDownAfterLinkAlarmAfterClearedWhenBack) {
    WebhookReceiver hook(WebhookReceiver::Mode::Ok);
    StartWith({Event(1, 0, "10:00:00", "later")}, hook, 5);
    for (const bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "server gone" : "switcher offline");
        const size_t before = hook.Count();
        if (killed) {
            sim_.StopListening();
            sim_.DropConnections();
        } else {
            sim_.GoOffline();
        }
        ASSERT_TRUE(Settle([&] { return !h.vars().SwitcherConnected; }));
        for (int i = 0; i < 8; ++i)  // 4 s: not yet
            Tick();
        h.realLoop.RunFor(50);
        EXPECT_EQ(hook.Count(), before);
        EXPECT_FALSE(Desk().IsRaised(alarms::AlarmKind::LinkDown, "link 0"));
        for (int i = 0; i < 4; ++i)
            Tick();
        ASSERT_TRUE(hook.WaitFor(before + 1));
        json raised = Bodies(hook)[before];
        EXPECT_EQ(raised["kind"], "link-down");
        EXPECT_EQ(raised["state"], "raised");
        EXPECT_EQ(raised["severity"], "critical");
        EXPECT_EQ(raised["link"], 0);
        for (int i = 0; i < 4; ++i)  // still down: not raised again
            Tick();
        if (killed)
            sim_.Listen(port_);
        else
            sim_.GoOnline();
        ASSERT_TRUE(Settle([&] { return h.vars().SwitcherConnected; }));
        Tick();
        ASSERT_TRUE(hook.WaitFor(before + 2));
        json cleared = Bodies(hook)[before + 1];
        EXPECT_EQ(cleared["state"], "cleared");
        EXPECT_EQ(cleared["id"], raised["id"]);
        EXPECT_GE(cleared["lasted_s"].get<double>(), 2.0);  // from raise to clear
        EXPECT_EQ(hook.Count(), before + 2);
    }
}

// Only a refusal because a link or the switcher was unavailable raises event-refused; the
// event's next run clears it. A real run refused for the down link first.
TEST_F(EngineAlarmsTest, EventRefusedOnlyForAnUnavailableLink) {
    WebhookReceiver hook(WebhookReceiver::Mode::Ok);
    StartWith({Event(7, 0, "09:00:30", "Morning feed")}, hook, 3600);
    sim_.GoOffline();
    ASSERT_TRUE(Settle([&] { return !h.vars().SwitcherConnected; }));
    h.TickAt(9, 0, 30);
    ASSERT_TRUE(hook.WaitFor(1));
    json a = Bodies(hook)[0];
    EXPECT_EQ(a["kind"], "event-refused");
    EXPECT_EQ(a["severity"], "minor");
    EXPECT_EQ(a["event"], json({{"number", 7}, {"title", "Morning feed"}}));
    EXPECT_NE(a["text"].get<std::string>().find("Switcher not connected"), std::string::npos);

    using state::Refusal;
    const struct {
        Refusal Reason;
        bool Raises;
    } cases[] = {{Refusal::ServerNotConnected, true},
                 {Refusal::SwitcherNotConnected, true},
                 {Refusal::CrosspointInactive, false},
                 {Refusal::CrosspointActive, false},
                 {Refusal::InvalidCrosspoint, false},
                 {Refusal::Inactive, false},
                 {Refusal::Skipped, false}};
    int number = 100;
    for (const auto& c : cases) {
        ++number;
        h.engine->Alarms().Outcome(EventOutcome{
            static_cast<int16_t>(number), "Mon", "09:01:00", "t", false, c.Reason, 0, {}});
        const std::string about = "event " + std::to_string(number);
        EXPECT_EQ(Desk().IsRaised(alarms::AlarmKind::EventRefused, about), c.Raises)
            << state::RefusalName(c.Reason);
        h.engine->Alarms().Outcome(EventOutcome{
            static_cast<int16_t>(number), "Mon", "09:02:00", "t", true, Refusal::None, 0, {}});
        EXPECT_FALSE(Desk().IsRaised(alarms::AlarmKind::EventRefused, about));
    }
}

// Error-log entries: one alarm a minute per location, the rest counted in the next; a location
// with an alarm of its own raises none; it clears itself after a quiet minute.
TEST_F(EngineAlarmsTest, ErrorLoggedAtMostOnceAMinutePerLocation) {
    WebhookReceiver hook(WebhookReceiver::Mode::Ok);
    StartWith({Event(1, 0, "10:00:00", "later")}, hook, 3600);
    for (int i = 0; i < 5; ++i)
        h.engine->Log().WriteErrorLog("Error # 5 - fault " + std::to_string(i),
                                      "Error Sending Crosspoint Change");
    h.engine->Log().WriteErrorLog("Error # 0 - ", "Take Not Confirmed");
    h.engine->Log().WriteErrorLog("Error # 6 - other", "Error Processing Take");
    ASSERT_TRUE(hook.WaitFor(2));
    h.realLoop.RunFor(50);
    EXPECT_EQ(hook.Count(), 2u);
    for (int i = 0; i < 121; ++i)  // a minute and a half
        Tick();
    // Crosspoint: cleared, the next raised with the four held back; Take: cleared after a
    // quiet minute.
    ASSERT_TRUE(hook.WaitFor(5));
    std::vector<std::string> seen;
    for (const json& b : Bodies(hook))
        seen.push_back(b["state"].get<std::string>() + " " + b["text"].get<std::string>());
    EXPECT_EQ(seen[0], "raised Errorlog.txt: Error Sending Crosspoint Change: Error # 5 - fault 0");
    EXPECT_EQ(seen[1], "raised Errorlog.txt: Error Processing Take: Error # 6 - other");
    EXPECT_NE(std::find(seen.begin(), seen.end(),
                        "raised Errorlog.txt: Error Sending Crosspoint Change: Error # 5 - fault 4 "
                        "(and 3 more at Error Sending Crosspoint Change in the last minute)"),
              seen.end());
    for (const json& b : Bodies(hook))
        EXPECT_EQ(b["kind"], "error-logged");
}

// Active alarms and the cleared ones survive a restart with their ids; what is still raised is
// not raised (nor delivered) again.
TEST_F(EngineAlarmsTest, RestartKeepsActiveAndClearedAlarms) {
    WebhookReceiver hook(WebhookReceiver::Mode::Ok);
    StartWith({Event(1, 0, "10:00:00", "later")}, hook, 3600);
    auto& alarms = h.engine->Alarms();
    ConfirmOutcome o;
    o.Number = 100;
    o.Day = "Monday";
    o.Title = "Morning feed";
    o.Source = 3;
    o.Destination = 1;
    o.Result = state::ConfirmResult::NotConfirmed;
    const struct {
        const char* Time;
        int16_t Link;
        const char* Reason;
    } runs[] = {{"06:00:00", 0, "output 1 shows source 5"}, {"06:00:01", 1, "no answer"}};
    for (const auto& r : runs) {
        o.Time = r.Time;
        o.Link = r.Link;
        o.Reason = r.Reason;
        alarms.Confirmation(o);
    }
    o.Result = state::ConfirmResult::Confirmed;  // clears the event's alarm on link 1
    alarms.Confirmation(o);
    ASSERT_TRUE(hook.WaitFor(3));
    EXPECT_EQ(Bodies(hook)[0]["text"],
              "Morning feed: take 3->1 not confirmed on link 0: output 1 shows source 5");
    EXPECT_EQ(Bodies(hook)[0]["severity"], "major");
    const std::string id = Desk().Active().at(0).Id;

    h.engine.reset();
    h.Start();
    ASSERT_EQ(Desk().Active().size(), 1u);
    EXPECT_EQ(Desk().Active()[0].Id, id);
    ASSERT_EQ(Desk().Recent().size(), 1u);
    EXPECT_EQ(Desk().Recent()[0].State, alarms::AlarmState::Cleared);
    EXPECT_FALSE(h.engine->Alarms()
                     .Desk()
                     ->Raise(alarms::AlarmKind::TakeNotConfirmed,
                             "event 100 Monday 06:00:00 link 0", "again")
                     .has_value());
    h.realLoop.RunFor(50);
    EXPECT_EQ(hook.Count(), 3u);
}

// A route that accepts and never answers, and an alarm file that cannot be written (a FIFO
// without a reader where its new copy goes), hold nothing up: each tick returns at once while
// the alarms wait, the event due meanwhile reaches the switcher on its second, the file's fault
// is reported once, and the engine still stops.
TEST_F(EngineAlarmsTest, StalledRouteDelaysNoTick) {
    ASSERT_EQ(::mkfifo(h.dir.File("Alarms.json.new").c_str(), 0600), 0);
    WebhookReceiver stalled(WebhookReceiver::Mode::Stall);
    StartWith({With(Event(1, 0, "09:00:20", "take"),
                    {{"xcontrol", 1}, {"SourceChan", 1}, {"DestChan", 2}})},
              stalled, 3600);
    using Steady = std::chrono::steady_clock;
    Steady::duration longest{};
    for (int i = 0; i < 20; ++i) {
        h.engine->Log().WriteErrorLog("Error # 1 - x", "Location " + std::to_string(i));
        const auto t0 = Steady::now();
        Tick();
        longest = std::max(longest, Steady::now() - t0);
    }
    ASSERT_TRUE(stalled.WaitFor(1));
    sim_.ClearFrames();
    const auto t0 = Steady::now();
    h.TickAt(9, 0, 20);
    longest = std::max(longest, Steady::now() - t0);
    h.realLoop.RunFor(60);
    EXPECT_FALSE(sim_.FramesWithCode(0xFE).empty());  // the take left on its second
    // An attempt's timeout is 10 s; a tick that waited on it would take that long.
    EXPECT_LT(longest, std::chrono::seconds(2));
    Tick();  // the file's report, queued by its writer, is written on a tick
    const auto errors = h.ErrorLocations();
    EXPECT_EQ(std::count(errors.begin(), errors.end(), "Error Saving Alarms"), 1);
    h.engine.reset();
}

}  // namespace
}  // namespace qtx::test
