#include "database/DeclaredType.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "common/Checked.h"
#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "common/Text.h"
#include "database/Connection.h"

namespace qtx::db {

namespace {

std::string Upper(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool IsNumberColumn(int type) {
    return type == dbtype::Byte || type == dbtype::Integer || type == dbtype::Long ||
           type == dbtype::BigInt;
}

void CheckRange(int type, int64_t n) {
    int64_t lo = std::numeric_limits<int64_t>::min();
    int64_t hi = std::numeric_limits<int64_t>::max();
    if (type == dbtype::Byte) {
        lo = 0;
        hi = 255;
    } else if (type == dbtype::Integer) {
        lo = std::numeric_limits<int16_t>::min();
        hi = std::numeric_limits<int16_t>::max();
    } else if (type == dbtype::Long) {
        lo = std::numeric_limits<int32_t>::min();
        hi = std::numeric_limits<int32_t>::max();
    }
    if (n < lo || n > hi)
        RaiseDb(faults::DbNumericOverflow);
}

// Characters in a UTF-8 text (bytes that do not continue a sequence).
size_t Utf8Length(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80)
            ++n;
    return n;
}

}  // namespace

void ParseDeclaredType(const std::string& declared, int& type, int& size) {
    std::string d = Upper(Trim(declared));
    size = 0;
    std::string base = d;
    size_t paren = d.find('(');
    if (paren != std::string::npos) {
        base = Trim(d.substr(0, paren));
        size_t i = paren + 1;
        while (i < d.size() && d[i] == ' ')
            ++i;
        int64_t n = 0;
        bool digits = false;
        while (i < d.size() && d[i] >= '0' && d[i] <= '9' && n < 1000000000) {
            n = n * 10 + (d[i] - '0');
            digits = true;
            ++i;
        }
        if (digits)
            size = static_cast<int>(n);
    }
    if (base.find("CHAR") != std::string::npos || base.find("TEXT") != std::string::npos ||
        base.find("CLOB") != std::string::npos || base == "STRING" || base == "MEMO") {
        type = dbtype::Text;
        return;
    }
    size = 0;
    if (base == "SMALLINT" || base == "SHORT" || base == "INT2" || base == "INTEGER2")
        type = dbtype::Integer;
    else if (base == "TINYINT" || base == "BYTE" || base == "INT1")
        type = dbtype::Byte;
    else if (base == "BIGINT" || base == "INT8" || base == "UNSIGNED BIG INT")
        type = dbtype::BigInt;
    else if (base == "LONG" || base.find("INT") != std::string::npos || base == "COUNTER")
        type = dbtype::Long;
    else
        type = dbtype::Unchecked;
}

std::string DeclaredTypeFor(int type, int size) {
    switch (type) {
        case dbtype::Byte:
            return "TINYINT";
        case dbtype::Integer:
            return "SMALLINT";
        case dbtype::Long:
            return "INTEGER";
        case dbtype::BigInt:
            return "BIGINT";
        case dbtype::Text:
            return size > 0 ? "VARCHAR(" + std::to_string(size) + ")" : "TEXT";
        default:
            throw Fault(faults::DbEngineError, "Invalid field data type");
    }
}

RawValue ToStored(const FieldDef& column, const DbValue& value) {
    RawValue out;
    if (value.IsNull())
        return out;
    if (IsNumberColumn(column.Type)) {
        int64_t n = 0;
        try {
            n = value.AsNumber();
        } catch (const Fault& f) {
            if (f.Number == faults::TypeMismatch)
                RaiseDb(faults::DbDataTypeMismatch);
            RaiseDb(faults::DbNumericOverflow);
        }
        CheckRange(column.Type, n);
        out.kind = RawValue::Integer;
        out.integer = n;
        return out;
    }
    if (column.Type == dbtype::Text) {
        std::string text = value.AsText();  // Windows-1252: one byte per character
        if (column.Size > 0 && text.size() > static_cast<size_t>(column.Size))
            RaiseDb(faults::DbFieldTooSmall);
        out.kind = RawValue::Text;
        out.bytes = Cp1252ToUtf8(text);
        return out;
    }
    // A column of another declared type keeps what it is given.
    if (value.IsText()) {
        out.kind = RawValue::Text;
        out.bytes = Cp1252ToUtf8(value.AsText());
    } else {
        out.kind = RawValue::Integer;
        out.integer = value.AsNumber();
    }
    return out;
}

void CheckStored(const FieldDef& column, const RawValue& value) {
    if (IsNumberColumn(column.Type) && value.kind == RawValue::Integer)
        CheckRange(column.Type, value.integer);
    if (column.Type == dbtype::Text && column.Size > 0 && value.kind == RawValue::Text &&
        Utf8Length(value.bytes) > static_cast<size_t>(column.Size))
        RaiseDb(faults::DbFieldTooSmall);
}

DbValue ToEngine(const RawValue& value) {
    switch (value.kind) {
        case RawValue::Integer:
            return DbValue(value.integer);
        case RawValue::Real:
            return DbValue(value.real);
        case RawValue::Text:
            return DbValue(Utf8ToCp1252(value.bytes));
        case RawValue::Blob:
            return DbValue(value.bytes);
        default:
            return DbValue();
    }
}

}  // namespace qtx::db
