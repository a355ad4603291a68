#include "records/RecordBackendsUnit.h"

#include <soci/soci.h>
#ifdef DOORLOCK_SOCI_STATIC_SQLITE3
#include <soci/sqlite3/soci-sqlite3.h>
#endif
#ifdef DOORLOCK_SOCI_STATIC_POSTGRESQL
#include <soci/postgresql/soci-postgresql.h>
#endif

// The back ends this build links in; SOCI would otherwise look for them as library files at run time.
void RegisterLinkedBackends() {
    static const bool registered = [] {
#ifdef DOORLOCK_SOCI_STATIC_SQLITE3
        soci::dynamic_backends::register_backend("sqlite3", *soci::factory_sqlite3());
#endif
#ifdef DOORLOCK_SOCI_STATIC_POSTGRESQL
        soci::dynamic_backends::register_backend("postgresql", *soci::factory_postgresql());
#endif
        return true;
    }();
    (void)registered;
}
