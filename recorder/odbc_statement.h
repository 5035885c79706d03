// ODBC in one place: a connection to the configured data source, and
// statements that each run on a handle of their own, freed as soon as the
// statement is done with. Used by the recorder's file index (one connection,
// recorder thread) and by the FDSN services (a pool of their own).
//
// Nothing here locks: a connection is used by one thread at a time.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <string>

#include "common/app_state.h"

enum class OdbcConnect {
    kConnected,
    kNoEnvironment,  // SQLAllocEnv failed: nothing reached the driver
    kFailed,         // no connection handle, or the data source refused
};

// One environment and one connection handle.
struct OdbcConnection {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;

    // Connects to the data source ("KVR" when empty) as the configured user
    // with the configured password; on failure everything is released again.
    OdbcConnect connect(const Config& config);
    // Disconnects and frees both handles; harmless when there are none.
    void disconnect();
    // Whether a statement's failure (its SQLSTATE) means the connection is
    // gone: class 08, or the driver marks the connection dead.
    bool lost(const std::string& state) const;
};

// Which return codes of SQLExecDirect count as success.
enum class Accept {
    kOnlySuccess,       // SQL_SUCCESS alone
    kWithInfo,          // also SQL_SUCCESS_WITH_INFO
    kWithInfoOrNoData,  // also SQL_NO_DATA: a delete that finds no row
};

// One statement on a handle of its own; the destructor closes, unbinds and
// drops it, so the connection is never released under a live handle.
class OdbcStatement {
  public:
    // A failed allocation shows up as a failed execute().
    explicit OdbcStatement(const OdbcConnection& connection);
    ~OdbcStatement();
    OdbcStatement(const OdbcStatement&) = delete;
    OdbcStatement& operator=(const OdbcStatement&) = delete;

    // Runs text; true when its return code is accepted.
    bool execute(const char* text, Accept accept);
    // Binds result column `column` (from 1) to target, `size` bytes.
    void bind(int column, SQLSMALLINT c_type, void* target, SQLLEN size, SQLLEN* indicator);
    // The next row into the bound columns: SQL_SUCCESS or
    // SQL_SUCCESS_WITH_INFO for a row, SQL_NO_DATA at the end, else an error.
    SQLRETURN fetch();
    // Logs the driver's message on one line and returns its SQLSTATE
    // (empty without a handle).
    std::string log_error();
    bool allocated() const { return handle_ != SQL_NULL_HSTMT; }

  private:
    SQLHSTMT handle_ = SQL_NULL_HSTMT;
};
