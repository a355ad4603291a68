#pragma once

// The host's pictures live in a static library, whose resources must be registered by hand.
void InitFormResources();

// Installs what the core and the shared forms reach through hooks (the door-lock options dialog, the
// application title of the running kind); RemoveFormHooks takes them out again before the application
// object goes.
void InstallFormHooks();
void RemoveFormHooks();
