#pragma once

// The SQLite access layer in one include.

#include "sqlite/CppSQLite3Binary.h"
#include "sqlite/CppSQLite3Buffer.h"
#include "sqlite/CppSQLite3DB.h"
#include "sqlite/CppSQLite3Exception.h"
#include "sqlite/CppSQLite3Query.h"
#include "sqlite/CppSQLite3Statement.h"
#include "sqlite/CppSQLite3Table.h"
