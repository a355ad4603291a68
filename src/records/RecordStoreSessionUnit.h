#pragma once

#include <memory>
#include <string>

namespace soci {
class session;
}

// SOCI's connect text for a SQLite file, with the busy time-out of the store; raises for a path SOCI
// cannot take.
std::string SqliteConnectString(const std::string& path, bool readOnly);

// A session of the store: SQLite in WAL mode with a sync at every commit; a server session that reads
// times back as ISO text, exchanges UTF-8 and ends a statement or a lock wait that takes longer than the
// store's budget (unless the settings name their own). Raises when the connection fails.
std::unique_ptr<soci::session> OpenRecordStoreSession(const std::string& backend,
                                                      const std::string& connectString);

// Whether the table the session finds by that name has the column (false without the table); names as the
// statements write them.
bool HasColumn(soci::session& session, bool sqlite, const std::string& table, const std::string& column);
