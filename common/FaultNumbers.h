#pragma once
// Stable fault numbers, one block per facility. Run-time and file-system numbers are those of the
// old run-time library; database numbers those of its database engine; socket numbers are 24000 +
// the socket error; serial numbers those of its serial control.
#include <cstdint>

namespace qtx::faults {

// Run-time library: conversions, indexing, internal errors.
inline constexpr int32_t InvalidProcedureCall = 5;  // "Invalid procedure call or argument"
inline constexpr int32_t Overflow = 6;              // "Overflow"
inline constexpr int32_t OutOfMemory = 7;           // "Out of memory"
inline constexpr int32_t SubscriptOutOfRange = 9;   // "Subscript out of range"
inline constexpr int32_t TypeMismatch = 13;         // "Type mismatch"
inline constexpr int32_t InternalError = 51;        // "Internal error" (any other std::exception)
inline constexpr int32_t InvalidUseOfNull = 94;     // "Invalid use of Null"

// File system.
inline constexpr int32_t BadFileName = 52;       // "Bad file name or number"
inline constexpr int32_t FileNotFound = 53;      // "File not found"
inline constexpr int32_t DeviceIOError = 57;     // "Device I/O error"
inline constexpr int32_t FileExists = 58;        // "File already exists"
inline constexpr int32_t DiskFull = 61;          // "Disk full"
inline constexpr int32_t PermissionDenied = 70;  // "Permission denied"
inline constexpr int32_t PathFileAccess = 75;    // "Path/File access error"
inline constexpr int32_t PathNotFound = 76;      // "Path not found"

// Database engine.
inline constexpr int32_t DbUpdateWithoutEdit =
    3020;  // "Update or CancelUpdate without AddNew or Edit"
inline constexpr int32_t DbNoCurrentRecord = 3021;   // "No current record"
inline constexpr int32_t DbFileNotFound = 3024;      // "Couldn't find file"
inline constexpr int32_t DbCannotOpen = 3049;        // "Cannot open database" (not a database)
inline constexpr int32_t DbFileInUse = 3045;         // "Could not use file; file already in use"
inline constexpr int32_t DbReadOnly = 3027;          // "Cannot update; database is read-only"
inline constexpr int32_t DbTableExists = 3010;       // "Table already exists"
inline constexpr int32_t DbTableNotFound = 3078;     // "Cannot find the input table"
inline constexpr int32_t DbFieldExists = 3191;       // "Cannot define field more than once"
inline constexpr int32_t DbFieldTooSmall = 3163;     // "The field is too small for the data"
inline constexpr int32_t DbItemNotFound = 3265;      // "Item not found in this collection"
inline constexpr int32_t DbLocked = 3218;            // "Could not update; currently locked"
inline constexpr int32_t DbNumericOverflow = 3349;   // "Numeric field overflow"
inline constexpr int32_t DbDataTypeMismatch = 3464;  // "Data type mismatch"
inline constexpr int32_t DbEngineError = 3000;       // any other database engine error

// Socket control: 24000 + the socket error number.
inline constexpr int32_t SocketWouldBlock = 24035;  // no more data waiting (not a fault)
inline constexpr int32_t SocketInvalidArgument = 24022;
inline constexpr int32_t SocketNotConnected = 24057;
inline constexpr int32_t SocketConnectionRefused = 24061;
inline constexpr int32_t SocketConnectionReset = 24054;
inline constexpr int32_t SocketConnectionAborted = 24053;
inline constexpr int32_t SocketTimedOut = 24060;
inline constexpr int32_t SocketError = 24000;  // any other socket failure

// Serial control.
inline constexpr int32_t SerialInvalidPort = 8002;        // "Invalid port number"
inline constexpr int32_t SerialPortOpen = 8005;           // "Port already open"
inline constexpr int32_t SerialDeviceUnavailable = 8010;  // "Hardware is not available"
inline constexpr int32_t SerialNotOpen = 8012;            // "The device is not open"
inline constexpr int32_t SerialSettings = 8015;           // "Could not set comm state"
inline constexpr int32_t SerialWrite = 8019;              // "Error writing comm device"

}  // namespace qtx::faults
