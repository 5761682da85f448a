#pragma once

// The SQLite access layer in one include.

#include "sqlite/access/CppSQLite3Binary.h"
#include "sqlite/access/CppSQLite3Buffer.h"
#include "sqlite/access/CppSQLite3DB.h"
#include "sqlite/access/CppSQLite3Exception.h"
#include "sqlite/access/CppSQLite3Query.h"
#include "sqlite/access/CppSQLite3Statement.h"
#include "sqlite/access/CppSQLite3Table.h"
