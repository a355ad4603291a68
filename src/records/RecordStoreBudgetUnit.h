#pragma once

#include <chrono>
#include <string>

// The answer budget of a card issue on a server store: every IssueCard is answered within 8 s whatever the
// server does. Its parts, each bounded:
// - the room's lock on the server and the room's turn on this host: StoreRoomLockWait for both;
// - each store operation (look-up, update, room insert, issued-card row): waits StoreOperationWait at most
//   for the session of the store, then runs one statement of StoreStatementTimeout at most (a lock wait
//   inside it StoreLockTimeout at most); an update that inserts the missing room runs two;
// - a server that stops acknowledging ends the connection after tcp_user_timeout (1.5 s), and a connection
//   attempt takes connect_timeout (2 s) per address; after a failed attempt the others fail at once.
// A copy: 3 (locks) + 3 x (0.5 + 1) = 7.5 s at the most while the server is blocked (a new card the same:
// the update and its insert, then the row); an issued-card row that did not make it in time is kept.
constexpr std::chrono::milliseconds StoreRoomLockWait{3000};
constexpr std::chrono::milliseconds StoreOperationWait{500};
constexpr std::chrono::milliseconds StoreStatementTimeout{1000};
constexpr std::chrono::milliseconds StoreLockTimeout{800};

// "%g" seconds of a wait, for messages.
std::string SecondsText(std::chrono::milliseconds wait);
