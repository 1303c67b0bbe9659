#pragma once

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

// The ODBC driver manager is loaded with dlopen the first time SQL Server (or another ODBC
// source) is asked for, so that a machine without unixODBC can still load the library and
// use every other engine. ZOLVI_ODBC_LIBRARY names the library to load; the default is
// libodbc.so.2.
namespace zolviai::sql::drivers {

struct OdbcApi {
#define ZOLVIAI_ODBC_FUNCTION(name) decltype(&::name) name = nullptr;
#include "sql/drivers/odbc_functions.inc"
#undef ZOLVIAI_ODBC_FUNCTION
};

// The loaded functions. Throws DatabaseError ("could not load the ODBC driver manager: ...")
// when the library or one of its functions is missing; a failed load is tried again on the
// next call, so a host that installs the driver manager later needs no restart.
const OdbcApi& odbc();

} // namespace zolviai::sql::drivers
