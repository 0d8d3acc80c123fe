#pragma once

// What the rest of the server includes of the stores: the Database and the
// stores it gives (database.h), its errors and its times. The SQL itself is
// in the stores' .cpp files, one a store; the engines are below, in engine/,
// and what keeps a database well (backups, restore, checks, health) above,
// in upkeep/.

#include "server/engine/store_error.h"
#include "server/engine/store_time.h"
#include "server/store/database.h"
