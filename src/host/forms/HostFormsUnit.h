#pragma once

#include "host/InterfaceKindUnit.h"

class TInterfaceHost;

// The host's pictures live in a static library, whose resources must be registered by hand.
void InitFormResources();

// The window's actions of one interface kind: the options action (run after the password), the test action
// and the records action (after the password; nullptr for a kind that keeps no records, which then has no
// menu entry). Each does nothing while the kind has no back end; the test action takes what it tests from the
// host's running handler where the kind has one.
struct TKindWindowActions {
    TInterfaceKind Kind;
    void (*ShowOption)();
    void (*ShowTest)(TInterfaceHost& host);
    void (*ShowRecords)();
};

// The actions of a kind; nullptr for a kind the window does not know.
const TKindWindowActions* FindKindWindowActions(TInterfaceKind kind);
