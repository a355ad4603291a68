#pragma once

// Makes the back ends linked into the program known to SOCI by name (the SQLite one on Windows, where no
// back-end library is loaded at run time); a no-op elsewhere. Sessions opened outside the store need it.
void RegisterLinkedBackends();
