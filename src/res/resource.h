// Resource and command identifiers.
#pragma once

// Commands, from controls and from the accelerator tables.
#define ID_DELETE_CHECK 101
#define ID_START 102
#define ID_STOP 103
#define ID_TOGGLE_DELETE 104
#define ID_NEXT_CONTROL 105
#define ID_ENTER 106
