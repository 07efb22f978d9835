// The audit file is what lets a change through: against the real qtx-console, with the file
// replaced by a folder or standing on a full disk, every change is refused with 503 and leaves
// the database and the accounts as they were, while logins and logouts go on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "console/ConsoleFixture.h"

namespace qtx::test {
namespace {

using nlohmann::json;

struct Breakage {
    const char* Name;
    void (*Apply)(const std::string& auditPath);
};

const Breakage kBreakages[] = {
    {"a folder in its place", [](const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0750), 0); }},
    // Writes to /dev/full fail with ENOSPC, as on a full disk.
    {"a full disk", [](const std::string& p) { ASSERT_EQ(::symlink("/dev/full", p.c_str()), 0); }},
};

class ConsoleAudit : public ::testing::TestWithParam<Breakage>, protected ConsoleFolder {
  protected:
    void SetUp() override { Start(); }
    std::string AuditPath() const { return dir.File("qtx-console-audit.log"); }
    void Repair() {
        ::unlink(AuditPath().c_str());
        ::rmdir(AuditPath().c_str());
    }
};

TEST_P(ConsoleAudit, WithoutItEveryChangeIsRefusedAndNothingChanges) {
    ApiClient op = As("operator"), admin = As("admin");
    ASSERT_EQ(op.Json("POST", "/api/events", kMorningFeed)->status, 201);

    ASSERT_EQ(::unlink(AuditPath().c_str()), 0);
    GetParam().Apply(AuditPath());
    const std::string db = ReadWholeFile(Db()),
                      users = ReadWholeFile(dir.File("qtx-console.users"));

    json renamed = kMorningFeed;
    renamed["title"] = "Renamed";
    struct Change {
        ApiClient* By;
        const char* Method;
        const char* Path;
        json Body;
    };
    const Change changes[] = {
        {&op, "POST", "/api/events", kMorningFeed},
        {&op, "PUT", "/api/events/1", renamed},
        {&op, "DELETE", "/api/events/1", nullptr},
        {&op, "POST", "/api/import", json::array({kMorningFeed})},
        {&admin, "PUT", "/api/settings", {{"startMinimized", true}, {"server", {{"port", 1300}}}}},
        {&admin,
         "POST",
         "/api/users",
         {{"name", "night"}, {"role", "admin"}, {"password", "long enough"}}},
        {&admin, "PUT", "/api/users/viewer", {{"role", "admin"}}},
        {&admin, "DELETE", "/api/users/viewer", nullptr},
    };
    for (const Change& c : changes) {
        auto r =
            c.Body.is_null() ? c.By->Send(c.Method, c.Path) : c.By->Json(c.Method, c.Path, c.Body);
        ASSERT_TRUE(r) << c.Method << " " << c.Path;
        EXPECT_EQ(r->status, 503) << c.Method << " " << c.Path << ": " << r->body;
        EXPECT_NE(r->body.find("audit"), std::string::npos) << r->body;
    }
    EXPECT_TRUE(ReadWholeFile(Db()) == db) << "the event database changed";
    EXPECT_TRUE(ReadWholeFile(dir.File("qtx-console.users")) == users) << "the accounts changed";
    EXPECT_EQ(QueryOne(Db(), "SELECT DISTINCT Title FROM Automation"), "Morning feed");

    // Logins and logouts are not changes: they go ahead unrecorded.
    ApiClient viewer(Port());
    EXPECT_EQ(viewer.Login("viewer", "not the password")->status, 401);
    auto in = viewer.Login("viewer", kPassword);
    ASSERT_EQ(in->status, 200);
    EXPECT_EQ(json::parse(in->body)["role"], "viewer");
    EXPECT_EQ(viewer.Send("POST", "/api/logout")->status, 200);

    // With the file back, changes go through and are recorded again.
    Repair();
    auto put = op.Json("PUT", "/api/events/1", renamed);
    EXPECT_EQ(put->status, 200) << put->body;
    ASSERT_FALSE(Audit().empty());
    EXPECT_EQ(Audit()[0]["action"], "event-update");
}

INSTANTIATE_TEST_SUITE_P(Broken, ConsoleAudit, ::testing::ValuesIn(kBreakages),
                         [](const auto& info) {
                             std::string name = info.param.Name;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

}  // namespace
}  // namespace qtx::test
