#include "records/RecordStoreErrorUnit.h"

#include <soci/soci.h>
#include <soci/sqlite3/soci-sqlite3.h>
#ifdef DOORLOCK_WITH_LIBPQ
#include <soci/postgresql/soci-postgresql.h>
#endif
#include <sqlite3.h>

#include <string>
#include <string_view>

TStoreErrorKind ClassifyStoreError(const std::exception& error) {
#ifdef DOORLOCK_WITH_LIBPQ
    if (const auto* server = dynamic_cast<const soci::postgresql_soci_error*>(&error)) {
        const std::string state = server->sqlstate();
        if (state == "25006")
            return TStoreErrorKind::ReadOnly;
        const std::string_view cls = std::string_view(state).substr(0, 2);
        // Connection (08), rollback for a conflict (40), resources (53), operator intervention: statement
        // time-out, shutdown (57), lock not available (55P03).
        if (cls == "08" || cls == "40" || cls == "53" || cls == "57" || state == "55P03")
            return TStoreErrorKind::Transient;
        return TStoreErrorKind::Refused;
    }
#endif
    if (const auto* soci = dynamic_cast<const soci::soci_error*>(&error);
        soci != nullptr && soci->get_error_category() == soci::soci_error::connection_error)
        return TStoreErrorKind::Transient;
    return TStoreErrorKind::Refused;
}

bool IsLockTimeout(const std::exception& error) {
#ifdef DOORLOCK_WITH_LIBPQ
    if (const auto* server = dynamic_cast<const soci::postgresql_soci_error*>(&error))
        return server->sqlstate() == "55P03";
#endif
    if (const auto* file = dynamic_cast<const soci::sqlite3_soci_error*>(&error)) {
        // The primary result code, without the extended bits (SQLITE_BUSY_SNAPSHOT and the like).
        const int result = file->result() & 0xff;
        return result == SQLITE_BUSY || result == SQLITE_LOCKED;
    }
    return false;
}
