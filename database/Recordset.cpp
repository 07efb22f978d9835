// Table-type cursor. The cursor remembers only the rowid of its current row; every move runs one
// short statement to its end and resets it, so nothing stays active between calls and the
// tables can be altered while a cursor is open. The current row's values are kept until the
// connection changes something, then read again.
#include <algorithm>
#include <deque>
#include <optional>

#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "database/Connection.h"
#include "database/DBEngine.h"
#include "database/DeclaredType.h"

namespace qtx {

using db::RaiseDb;

struct Recordset::State {
    std::shared_ptr<db::Connection> conn;
    std::string table;  // as spelled in the file
    std::vector<FieldDef> fields;
    std::string columnList;  // "c1", "c2", ... in column order
    bool closed = false;

    // Position: at a row (rowid), or at the end.
    bool eof = true;
    int64_t rowid = 0;
    bool deleted = false;  // the current row was removed by Delete
    std::vector<RawValue> row;
    int64_t rowChanges = 0;  // the connection's change count when row was read

    enum Mode { None, Editing, Adding } mode = None;
    std::vector<std::optional<RawValue>> pending;

    db::Stmt first, last, next, byRowid;
    std::string insertSql, updateSql;
    db::Stmt insert, update, remove;

    sqlite3* Handle() const {
        if (closed)
            throw Fault(faults::DbEngineError, "Object invalid or no longer set");
        return conn->Handle();
    }

    // The statement, prepared on first use; makeSql runs only then.
    template <class MakeSql>
    db::Stmt& Cached(db::Stmt& s, MakeSql&& makeSql) {
        Handle();
        if (!s)
            s = conn->Prepare(makeSql());
        return s;
    }

    std::string SelectHead() const {
        return "SELECT rowid, " + columnList + " FROM " + db::QuoteName(table);
    }

    // Rows read ahead by the last forward move, with the change count they were read at. Each
    // statement is its own read transaction (a lock and a file check), so walking forward reads
    // a batch of rows at once; the batch is dropped as soon as this connection changes anything.
    static constexpr int Batch = 256;
    std::deque<std::pair<int64_t, std::vector<RawValue>>> ahead;
    int64_t aheadChanges = -1;

    // Runs a positioning statement; takes its first row as the current row (the rest as rows
    // ahead) or goes to the end.
    void Position(sqlite3_stmt* s) {
        db::StmtReset reset(s);
        mode = None;
        deleted = false;
        ahead.clear();
        while (conn->Step(s)) {
            std::vector<RawValue> values(fields.size());
            for (size_t i = 0; i < fields.size(); ++i)
                values[i] = db::ColumnRaw(s, static_cast<int>(i) + 1);
            ahead.emplace_back(sqlite3_column_int64(s, 0), std::move(values));
        }
        aheadChanges = sqlite3_total_changes64(Handle());
        TakeAhead();
    }

    // Makes the first row read ahead the current row; at the end when there is none.
    void TakeAhead() {
        if (ahead.empty()) {
            eof = true;
            row.clear();
            return;
        }
        eof = false;
        rowid = ahead.front().first;
        row = std::move(ahead.front().second);
        rowChanges = aheadChanges;
        ahead.pop_front();
    }

    void ReadRow(sqlite3_stmt* s) {
        row.resize(fields.size());
        for (size_t i = 0; i < fields.size(); ++i)
            row[i] = db::ColumnRaw(s, static_cast<int>(i) + 1);
        rowChanges = sqlite3_total_changes64(Handle());
    }

    void RequireRow() const {
        if (closed)
            throw Fault(faults::DbEngineError, "Object invalid or no longer set");
        if (eof || deleted)
            RaiseDb(faults::DbNoCurrentRecord);
    }

    // The current row's values, read again when this connection has changed anything since.
    const std::vector<RawValue>& CurrentRow() {
        RequireRow();
        if (sqlite3_total_changes64(Handle()) != rowChanges) {
            sqlite3_stmt* s =
                Cached(byRowid, [&] { return SelectHead() + " WHERE rowid = ?1"; }).get();
            db::StmtReset reset(s);
            sqlite3_bind_int64(s, 1, rowid);
            if (!conn->Step(s)) {
                deleted = true;
                RaiseDb(faults::DbNoCurrentRecord);
            }
            ReadRow(s);
        }
        return row;
    }

    void CheckIndex(int index) const {
        if (index < 0 || static_cast<size_t>(index) >= fields.size())
            RaiseDb(faults::DbItemNotFound);
    }
};

Recordset::Recordset(std::unique_ptr<State> s) : s_(std::move(s)) {}
Recordset::Recordset(Recordset&&) noexcept = default;
Recordset& Recordset::operator=(Recordset&&) noexcept = default;
Recordset::~Recordset() = default;

bool Recordset::IsEOF() const {
    s_->Handle();
    return s_->eof;
}

void Recordset::MoveFirst() {
    State& s = *s_;
    s.Position(s.Cached(s.first, [&] { return s.SelectHead() + " ORDER BY rowid LIMIT 1"; }).get());
    if (s.eof)
        RaiseDb(faults::DbNoCurrentRecord);
}

void Recordset::MoveLast() {
    State& s = *s_;
    s.Position(
        s.Cached(s.last, [&] { return s.SelectHead() + " ORDER BY rowid DESC LIMIT 1"; }).get());
    if (s.eof)
        RaiseDb(faults::DbNoCurrentRecord);
}

void Recordset::MoveNext() {
    State& s = *s_;
    s.Handle();
    if (s.eof)
        RaiseDb(faults::DbNoCurrentRecord);
    if (!s.ahead.empty() && sqlite3_total_changes64(s.Handle()) == s.aheadChanges) {
        s.mode = State::None;
        s.deleted = false;
        s.TakeAhead();
        return;
    }
    sqlite3_stmt* st = s.Cached(s.next, [&] {
                            return s.SelectHead() + " WHERE rowid > ?1 ORDER BY rowid LIMIT " +
                                   std::to_string(State::Batch);
                        }).get();
    sqlite3_bind_int64(st, 1, s.rowid);
    s.Position(st);
}

int64_t Recordset::RecordCount() const {
    s_->Handle();
    db::Stmt st = s_->conn->Prepare("SELECT count(*) FROM " + db::QuoteName(s_->table));
    s_->conn->Step(st.get());
    return sqlite3_column_int64(st.get(), 0);
}

int Recordset::FieldIndex(const std::string& name) const {
    const auto& f = s_->fields;
    for (size_t i = 0; i < f.size(); ++i)
        if (db::SameName(f[i].Name, name))
            return static_cast<int>(i);
    RaiseDb(faults::DbItemNotFound);
}

bool Recordset::HasField(const std::string& name) const {
    return std::any_of(s_->fields.begin(), s_->fields.end(),
                       [&](const FieldDef& f) { return db::SameName(f.Name, name); });
}

const std::vector<FieldDef>& Recordset::Fields() const {
    return s_->fields;
}

// The value at index of the pending edit or the current row, without copying it.
static const RawValue& RawRef(Recordset::State& s, int index) {
    static const RawValue null;
    s.CheckIndex(index);
    if (s.mode != Recordset::State::None) {
        s.Handle();
        if (s.pending[static_cast<size_t>(index)])
            return *s.pending[static_cast<size_t>(index)];
        if (s.mode == Recordset::State::Adding)
            return null;
    }
    return s.CurrentRow()[static_cast<size_t>(index)];
}

RawValue Recordset::Raw(int index) const {
    return RawRef(*s_, index);
}

DbValue Recordset::Value(int index) const {
    return db::ToEngine(RawRef(*s_, index));
}

void Recordset::Edit() {
    State& s = *s_;
    s.CurrentRow();
    s.mode = State::Editing;
    s.pending.assign(s.fields.size(), std::nullopt);
}

void Recordset::AddNew() {
    State& s = *s_;
    s.Handle();
    s.mode = State::Adding;
    s.pending.assign(s.fields.size(), std::nullopt);
}

void Recordset::SetValue(int index, const DbValue& v) {
    State& s = *s_;
    s.CheckIndex(index);
    if (s.mode == State::None)
        RaiseDb(faults::DbUpdateWithoutEdit);
    s.pending[static_cast<size_t>(index)] = db::ToStored(s.fields[static_cast<size_t>(index)], v);
}

void Recordset::SetRaw(int index, const RawValue& v) {
    State& s = *s_;
    s.CheckIndex(index);
    if (s.mode == State::None)
        RaiseDb(faults::DbUpdateWithoutEdit);
    db::CheckStored(s.fields[static_cast<size_t>(index)], v);
    s.pending[static_cast<size_t>(index)] = v;
}

void Recordset::Update() {
    State& s = *s_;
    s.Handle();
    if (s.mode == State::None)
        RaiseDb(faults::DbUpdateWithoutEdit);
    std::vector<size_t> set;
    for (size_t i = 0; i < s.pending.size(); ++i)
        if (s.pending[i])
            set.push_back(i);
    const std::string table = db::QuoteName(s.table);
    if (s.mode == State::Adding) {
        std::string sql;
        if (set.empty()) {
            sql = "INSERT INTO " + table + " DEFAULT VALUES";
        } else {
            std::string names, params;
            for (size_t k = 0; k < set.size(); ++k) {
                names += (k ? ", " : "") + db::QuoteName(s.fields[set[k]].Name);
                params += (k ? ", ?" : "?") + std::to_string(k + 1);
            }
            sql = "INSERT INTO " + table + " (" + names + ") VALUES (" + params + ")";
        }
        // The same set of columns is usually written row after row: keep the statement.
        if (sql != s.insertSql) {
            s.insert = s.conn->Prepare(sql);
            s.insertSql = sql;
        }
        sqlite3_stmt* st = s.insert.get();
        db::StmtReset reset(st);
        for (size_t k = 0; k < set.size(); ++k)
            db::BindRaw(st, static_cast<int>(k) + 1, *s.pending[set[k]]);
        s.conn->Step(st);
    } else if (!set.empty()) {
        s.RequireRow();
        std::string assigns;
        for (size_t k = 0; k < set.size(); ++k)
            assigns += (k ? ", " : "") + db::QuoteName(s.fields[set[k]].Name) + " = ?" +
                       std::to_string(k + 1);
        std::string sql = "UPDATE " + table + " SET " + assigns + " WHERE rowid = ?" +
                          std::to_string(set.size() + 1);
        if (sql != s.updateSql) {
            s.update = s.conn->Prepare(sql);
            s.updateSql = sql;
        }
        sqlite3_stmt* st = s.update.get();
        db::StmtReset reset(st);
        for (size_t k = 0; k < set.size(); ++k)
            db::BindRaw(st, static_cast<int>(k) + 1, *s.pending[set[k]]);
        sqlite3_bind_int64(st, static_cast<int>(set.size()) + 1, s.rowid);
        s.conn->Step(st);
    }
    s.mode = State::None;
    s.pending.clear();
}

void Recordset::CancelUpdate() {
    s_->mode = State::None;
    s_->pending.clear();
}

void Recordset::Delete() {
    State& s = *s_;
    s.RequireRow();
    s.mode = State::None;
    sqlite3_stmt* st = s.Cached(s.remove, [&] {
                            return "DELETE FROM " + db::QuoteName(s.table) + " WHERE rowid = ?1";
                        }).get();
    db::StmtReset reset(st);
    sqlite3_bind_int64(st, 1, s.rowid);
    s.conn->Step(st);
    s.deleted = true;
}

void Recordset::Close() {
    State& s = *s_;
    s.Handle();
    s.first.reset();
    s.last.reset();
    s.next.reset();
    s.byRowid.reset();
    s.insert.reset();
    s.update.reset();
    s.remove.reset();
    s.closed = true;
}

const std::string& Recordset::TableName() const {
    return s_->table;
}

// Opening lives here because it builds the cursor's state.
Recordset Database::OpenRecordset(const std::string& table) {
    std::string name = conn_->FindTable(table);
    if (name.empty())
        RaiseDb(faults::DbTableNotFound);
    auto s = std::make_unique<Recordset::State>();
    s->conn = conn_;
    s->table = name;
    s->fields = conn_->TableColumns(name);
    for (size_t i = 0; i < s->fields.size(); ++i)
        s->columnList += (i ? ", " : "") + db::QuoteName(s->fields[i].Name);
    s->Position(
        s->Cached(s->first, [&] { return s->SelectHead() + " ORDER BY rowid LIMIT 1"; }).get());
    return Recordset(std::move(s));
}

}  // namespace qtx
