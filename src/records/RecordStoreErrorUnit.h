#pragma once

#include <exception>

// What a failed statement of the store says about the server, by the error's SQLSTATE.
enum class TStoreErrorKind {
    Refused,   // the statement or its values: trying again gives the same
    Transient, // time-out, lock wait, lost connection, server shutting down: trying later may work
    ReadOnly,  // the server no longer takes writes (a standby now): another connection may find the primary
};
TStoreErrorKind ClassifyStoreError(const std::exception& error);

// Whether the statement gave up waiting for a lock that another session held: on PostgreSQL its lock_timeout
// ran out (SQLSTATE 55P03), on SQLite the file stayed busy or a table locked past the busy time-out.
bool IsLockTimeout(const std::exception& error);
