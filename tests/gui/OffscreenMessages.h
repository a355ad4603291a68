#pragma once

// Installs a Qt message handler that drops what the offscreen platform says about every fixed-size dialog
// and the missing runtime directory, and passes everything else to Qt's own. Before the application object.
void QuietOffscreenMessages();
