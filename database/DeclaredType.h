#pragma once
// Column types read from SQL declared types, and the checks and conversions of values written to
// and read from such columns.
#include <string>

#include "database/DBEngine.h"

namespace qtx::db {

// The type code and text size a declared type stands for (size 0: no limit or not text).
void ParseDeclaredType(const std::string& declared, int& type, int& size);
// The declared type written for a column created with a type code; fault 3000 for an unknown
// code.
std::string DeclaredTypeFor(int type, int size);

// The value to store for an engine value written to the column: numbers range-checked (fault
// 3349), texts converted to UTF-8 and size-checked (fault 3163), a text that is no number
// written to a number column fault 3464.
RawValue ToStored(const FieldDef& column, const DbValue& value);
// A raw value written unchanged, still checked against the column's range and size.
void CheckStored(const FieldDef& column, const RawValue& value);
// A stored value as the engine sees it.
DbValue ToEngine(const RawValue& value);

}  // namespace qtx::db
