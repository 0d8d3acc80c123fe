#pragma once

// What the rest of the server includes of the store: the Database and the
// stores it gives (database.h), the checks of a database file, and backups
// as the store reads and writes them. The SQL itself is in the stores' .cpp
// files, one a store; sqlite_support.h is for those files alone.

#include "server/store/database.h"
#include "server/store/database_checks.h"
#include "server/store/store_error.h"
#include "server/store/store_restore.h"
#include "server/store/store_time.h"
