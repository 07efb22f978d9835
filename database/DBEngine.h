#pragma once
// The database engine the event database is reached through: a small DAO-like layer over SQLite.
//
// Files are ordinary SQLite databases with ordinary tables and declared column types, so the
// sqlite3 shell or any SQLite browser can prepare them; nothing private is stored in them. The
// type of a column is read from its declared type:
//   SMALLINT, SHORT, INT2            16-bit integer   (type code 3)
//   INTEGER, INT, LONG, INT4, ...    32-bit integer   (type code 4)
//   TINYINT, BYTE, INT1              byte 0 .. 255    (type code 2)
//   BIGINT, INT8                     64-bit integer   (type code 16)
//   VARCHAR(n), CHAR(n), TEXT, ...   text of at most n characters, no limit without n (code 10)
//   anything else                    stored as given, unchecked (code 0)
// Writes through this layer are checked against that range or size: a value that does not fit
// is a fault, never truncated.
//
// Values cross as Null, a whole number, a floating value (only when the file holds one) or a
// text. Texts are Windows-1252 on the engine's side and UTF-8 in the file; the conversion
// happens here. Raw values (RawValue) move SQLite values unchanged, for copying between files.
//
// Every failure is a qtx::Fault with a database number (common/FaultNumbers.h). A file locked
// by another process faults after a short wait (BusyTimeoutMs) instead of hanging.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace qtx {

namespace db {
struct Connection;
}  // namespace db

// Type codes of CreateField and FieldDef::Type.
namespace dbtype {
inline constexpr int Unchecked = 0;
inline constexpr int Byte = 2;
inline constexpr int Integer = 3;  // 16-bit
inline constexpr int Long = 4;     // 32-bit
inline constexpr int Text = 10;
inline constexpr int BigInt = 16;
}  // namespace dbtype

// A value read from or written to a column, on the engine's side (text in Windows-1252).
class DbValue {
  public:
    DbValue() = default;  // Null
    DbValue(int64_t n) : v_(n) {}
    DbValue(int32_t n) : v_(int64_t{n}) {}
    DbValue(int16_t n) : v_(int64_t{n}) {}
    DbValue(double d) : v_(d) {}
    DbValue(std::string text) : v_(std::move(text)) {}
    DbValue(const char* text) : v_(std::string(text)) {}
    static DbValue Null() { return DbValue(); }

    bool IsNull() const { return std::holds_alternative<std::monostate>(v_); }
    bool IsNumber() const { return !IsNull() && !IsText(); }
    bool IsText() const { return std::holds_alternative<std::string>(v_); }

    // The value as a whole number: a floating value is rounded half to even; a text is read
    // the way TextToLong reads it (fault 13 when it is no number). Null is fault 94.
    int64_t AsNumber() const;
    // The value as text: numbers in plain decimal. Null is fault 94.
    std::string AsText() const;

    bool operator==(const DbValue&) const = default;

  private:
    std::variant<std::monostate, int64_t, double, std::string> v_;
};

// A column value exactly as SQLite holds it (text stays UTF-8, blobs stay bytes).
struct RawValue {
    enum Kind { Null, Integer, Real, Text, Blob };
    Kind kind = Null;
    int64_t integer = 0;
    double real = 0;
    std::string bytes;  // Text (UTF-8) or Blob
    bool operator==(const RawValue&) const = default;
};

// A column definition: name, type code and, for text, its size in characters (0: no limit).
struct FieldDef {
    std::string Name;
    int Type = dbtype::Unchecked;
    int Size = 0;
    std::string DeclaredType;  // as written in the file
};

// A table-type cursor over one table. It walks the rows in ascending rowid, holds no SQLite
// statement active between calls, and allows Edit and Delete of the current row mid-walk.
// Columns are those the table had when the cursor was opened.
class Recordset {
  public:
    Recordset(Recordset&&) noexcept;
    Recordset& operator=(Recordset&&) noexcept;
    ~Recordset();

    // True when the cursor is past the last row (or the table is empty).
    bool IsEOF() const;
    void MoveFirst();  // fault 3021 on an empty table
    void MoveLast();   // fault 3021 on an empty table
    void MoveNext();   // fault 3021 when already at the end
    // The number of rows of the table (always exact).
    int64_t RecordCount() const;

    // Column lookup without regard to letter case; fault 3265 when there is no such column.
    int FieldIndex(const std::string& name) const;
    bool HasField(const std::string& name) const;
    const std::vector<FieldDef>& Fields() const;

    // The current row's value (the pending value while editing). Fault 3021 without a current
    // row, 3265 for an unknown column.
    DbValue Value(const std::string& name) const { return Value(FieldIndex(name)); }
    DbValue Value(int index) const;
    RawValue Raw(int index) const;

    // Edit (change the current row) or AddNew (a new row), set values, then Update stores them.
    // Setting a value outside Edit/AddNew is fault 3020; a value that does not fit the column's
    // declared type is fault 3349 (numbers) or 3163 (text), raised when it is set.
    void Edit();
    void AddNew();
    void SetValue(const std::string& name, const DbValue& v) { SetValue(FieldIndex(name), v); }
    void SetValue(int index, const DbValue& v);
    void SetRaw(int index, const RawValue& v);
    void Update();
    void CancelUpdate();
    // Removes the current row; MoveNext then reaches the row after it.
    void Delete();

    void Close();
    const std::string& TableName() const;

    struct State;  // the cursor's inner state, defined where the cursor is built

  private:
    friend class Database;
    explicit Recordset(std::unique_ptr<State> s);
    std::unique_ptr<State> s_;
};

// A forward-only walk over chosen columns of one table, in rowid order: the way to read a whole
// table at once. Values come straight from SQLite's current row, as the engine sees them (the
// same conversions as DbValue), without a copy per value or per row.
class TableReader {
  public:
    TableReader(TableReader&&) noexcept;
    TableReader& operator=(TableReader&&) noexcept;
    ~TableReader();

    // Moves to the next row (the first at the first call); false past the last.
    bool Next();
    bool IsNull(int column) const;
    // As DbValue::AsNumber: Null is fault 94, a text that is no number fault 13.
    int64_t Number(int column) const;
    // As DbValue::AsText (Windows-1252): Null is fault 94.
    std::string Text(int column) const;

    struct State;

  private:
    friend class Database;
    explicit TableReader(std::unique_ptr<State> s);
    std::unique_ptr<State> s_;
};

// Every row of a table exactly as stored: its columns in their order, and the rows in rowid
// order, each value as SQLite holds it.
struct RawTable {
    std::vector<FieldDef> Fields;
    std::vector<std::vector<RawValue>> Rows;
};

// A stored value as the engine sees it (what Recordset::Value gives for it).
DbValue EngineValue(const RawValue& value);

// A table definition: from Database::TableDefs (an existing table: AppendField adds the column
// to the file at once) or from Database::CreateTableDef (new: columns are collected until
// Database::AppendTableDef creates the table).
class TableDef {
  public:
    const std::string& Name() const { return name_; }
    const std::vector<FieldDef>& Fields() const { return fields_; }
    bool HasField(const std::string& name) const;

    // A new column definition (type code 2, 3, 4, 10 or 16; size in characters for text).
    // Fault 3000 for another type code.
    static FieldDef CreateField(const std::string& name, int type, int size = 0);
    // Fields.Append: fault 3191 when a column of that name (any letter case) exists.
    void AppendField(const FieldDef& field);

  private:
    friend class Database;
    std::shared_ptr<db::Connection> conn_;
    std::string name_;
    std::vector<FieldDef> fields_;
    bool existing_ = false;
};

// An open database file. Closing (or destroying) it with a transaction pending rolls it back.
class Database {
  public:
    Database(Database&&) noexcept;
    Database& operator=(Database&&) noexcept;
    ~Database();

    // Fault 3078 when the table does not exist (names match without regard to letter case).
    Recordset OpenRecordset(const std::string& table);
    // Fault 3265 when the table does not exist.
    TableDef TableDefs(const std::string& table);
    bool HasTable(const std::string& table);
    std::vector<std::string> TableNames();
    TableDef CreateTableDef(const std::string& table);
    // TableDefs.Append: creates the table; fault 3010 when it exists.
    void AppendTableDef(const TableDef& def);

    // One transaction at a time: every change between BeginTrans and CommitTrans is stored
    // together or (Rollback, a fault, Close) not at all. BeginTrans takes the write lock at once,
    // so a file another process is writing faults here.
    void BeginTrans();
    // A read transaction: the walks that follow, until CommitTrans, see one consistent state
    // of the file and take its lock once instead of at every statement.
    void BeginRead();
    void CommitTrans();
    void Rollback();
    bool InTransaction() const;

    // Reads the named columns of every row of table, in rowid order. Fault 3078 when there is
    // no such table, 3265 when it lacks one of the columns (names without regard to case).
    TableReader ReadTable(const std::string& table, const std::vector<std::string>& columns);
    // The number of rows of a table (fault 3078 when there is none).
    int64_t RowCount(const std::string& table);
    // Every column of every row of table, copied in one plain walk of the file, values
    // unconverted: the read that holds the file's lock for the least time, the work on the
    // values left until after the transaction. Fault 3078 when there is no such table.
    RawTable CopyTable(const std::string& table);

    // Runs one statement with its parameters ?1, ?2, ... (Null, whole numbers, or texts converted
    // like column values) to its end, and returns the number of rows it changed.
    int64_t Execute(const std::string& sql, const std::vector<DbValue>& params = {});

    // Every row a query gives, values exactly as stored (for small results).
    std::vector<std::vector<RawValue>> QueryRaw(const std::string& sql);
    // The first column of the first row a query gives (Null when it gives none).
    DbValue QueryValue(const std::string& sql);
    // Makes the file at path (bytes, unconverted) reachable as schema name in this connection's
    // statements.
    void Attach(const std::string& path, const std::string& name);

    // The file's change counter (its header's bytes 24-27): every write transaction committed
    // on the file, by any program, raises it by one. Read through the connection's own file
    // handle, never a second descriptor (closing one would drop this process's locks on it).
    uint32_t ChangeCounter();
    // The whole file as it stands, byte for byte, read through the connection's own handle
    // inside a read transaction (so no other program's commit is seen half done).
    std::string FileBytes();
    // Long statements stop with a fault soon after *flag becomes true (nullptr: never).
    void SetCancelFlag(const std::atomic<bool>* flag);
    // How long this connection waits for another program's lock before it faults (the default
    // is DBEngine::BusyTimeoutMs).
    void SetLockWait(int ms);

    void Close();
    const std::string& Path() const;

  private:
    friend class DBEngine;
    explicit Database(std::shared_ptr<db::Connection> c);
    std::shared_ptr<db::Connection> conn_;
};

class DBEngine {
  public:
    // How long an operation waits for a file locked by another process before it faults.
    static constexpr int BusyTimeoutMs = 1500;
    // The wait of a retried write the tick makes while the file may stay locked: long enough for
    // readers already in the file to leave (a console read takes milliseconds), short enough
    // that a lock held for minutes does not hold up every third tick.
    static constexpr int RetryWaitMs = 200;

    // Opens an existing database for reading and writing (read only when the file is). Never
    // creates a file: a missing file is fault 3024, a zero-length file or one that is not an
    // SQLite database fault 3049, a file that cannot be opened 3049 or a file-system fault.
    Database OpenDatabase(const std::string& path);
    // Creates a new, empty database file; fault 58 when the path already exists.
    Database CreateDatabase(const std::string& path);
    // A compacted copy of the (closed) source at target; fault 58 when target exists.
    void CompactDatabase(const std::string& source, const std::string& target);
};

}  // namespace qtx
