// Resource identifiers of the bare baselines' dialog (bare.rc).
#pragma once

#define IDD_BARE 100
#define IDC_BARE_LIST 303
// The command that starts the bare connect: the panel's Connect button's ID.
#define IDC_BARE_CONNECT 221
