#include "recorder/odbc_statement.h"

#include "common/app_state.h"
#include "common/oplog.h"

OdbcConnect OdbcConnection::connect(const Config& config) {
    if (SQLAllocEnv(&env) != SQL_SUCCESS) {
        env = SQL_NULL_HENV;
        return OdbcConnect::kNoEnvironment;
    }
    if (SQLAllocConnect(env, &dbc) != SQL_SUCCESS) {
        dbc = SQL_NULL_HDBC;
        disconnect();
        return OdbcConnect::kFailed;
    }
    const char* source = config.data_source[0] != '\0' ? config.data_source : "KVR";
    SQLRETURN rc = SQLConnect(dbc, (SQLCHAR*)source, SQL_NTS, (SQLCHAR*)config.db_user, SQL_NTS,
                              (SQLCHAR*)config.db_password, SQL_NTS);
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) {
        disconnect();
        return OdbcConnect::kFailed;
    }
    return OdbcConnect::kConnected;
}

void OdbcConnection::disconnect() {
    if (dbc != SQL_NULL_HDBC) {
        SQLDisconnect(dbc);  // nothing to undo when not connected; harmless
        SQLFreeConnect(dbc);
        dbc = SQL_NULL_HDBC;
    }
    if (env != SQL_NULL_HENV) {
        SQLFreeEnv(env);
        env = SQL_NULL_HENV;
    }
}

bool OdbcConnection::lost(const std::string& state) const {
    if (state.rfind("08", 0) == 0) return true;
    SQLUINTEGER dead = SQL_CD_FALSE;
    SQLRETURN rc = SQLGetConnectAttr(dbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
    return (rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO) && dead == SQL_CD_TRUE;
}

OdbcStatement::OdbcStatement(const OdbcConnection& connection) {
    SQLRETURN rc = SQLAllocStmt(connection.dbc, &handle_);
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) handle_ = SQL_NULL_HSTMT;
}

OdbcStatement::~OdbcStatement() {
    if (handle_ == SQL_NULL_HSTMT) return;
    SQLFreeStmt(handle_, SQL_CLOSE);
    SQLFreeStmt(handle_, SQL_UNBIND);
    SQLFreeStmt(handle_, SQL_DROP);
}

bool OdbcStatement::execute(const char* text, Accept accept) {
    if (handle_ == SQL_NULL_HSTMT) return false;
    SQLRETURN rc = SQLExecDirect(handle_, (SQLCHAR*)text, SQL_NTS);
    if (rc == SQL_SUCCESS) return true;
    if (rc == SQL_SUCCESS_WITH_INFO) return accept != Accept::kOnlySuccess;
    return rc == SQL_NO_DATA && accept == Accept::kWithInfoOrNoData;
}

void OdbcStatement::bind(int column, SQLSMALLINT c_type, void* target, SQLLEN size,
                         SQLLEN* indicator) {
    SQLBindCol(handle_, static_cast<SQLUSMALLINT>(column), c_type, target, size, indicator);
}

SQLRETURN OdbcStatement::fetch() { return SQLFetch(handle_); }

std::string OdbcStatement::log_error() {
    if (handle_ == SQL_NULL_HSTMT) return "";
    SQLCHAR state[6] = {0};
    SQLINTEGER native = 0;
    SQLCHAR message[512] = {0};
    SQLSMALLINT length = 0;
    SQLError(SQL_NULL_HENV, SQL_NULL_HDBC, handle_, state, &native, message, sizeof message - 1,
             &length);
    message[sizeof message - 1] = 0;
    // Drivers write several lines; the log has one line per message.
    for (SQLCHAR* p = message; *p != 0; ++p)
        if (*p == '\r' || *p == '\n') *p = ' ';
    write_log_line(reinterpret_cast<const char*>(message));
    return reinterpret_cast<const char*>(state);
}
