#include "alarms/RouteList.h"

#include <string>

#include "common/Text.h"

namespace qtx::alarms {

void ReplaceRoutes(Database& db, const std::vector<AlarmRoute>& routes) {
    const std::string table = RouteTable;
    if (!db.HasTable(table)) {
        // The table's definition is AddRoute's; the empty route it adds goes again below.
        AddRoute(db, AlarmRoute{});
    }
    db.Execute("DELETE FROM " + table);
    for (const AlarmRoute& r : routes) {
        std::string kinds;
        for (AlarmKind k : r.Kinds)
            kinds += (kinds.empty() ? "" : ",") + KindName(k);
        // UTF-8 texts as parameters, which are taken in the file's column encoding.
        auto text = [](const std::string& s) { return DbValue(Utf8ToCp1252(s)); };
        db.Execute("INSERT INTO " + table +
                       " (Id, Type, Target, Secret, Kinds, MailFrom, MailTo, MailUser, StartTls)"
                       " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
                   {r.Id > 0 ? DbValue(r.Id) : DbValue(), text(RouteTypeName(r.Type)),
                    text(r.Target), text(r.Secret), text(kinds), text(r.MailFrom), text(r.MailTo),
                    text(r.MailUser), DbValue(int64_t{r.StartTls ? 1 : 0})});
    }
}

}  // namespace qtx::alarms
