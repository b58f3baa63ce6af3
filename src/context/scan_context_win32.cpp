// Accelerator table replacement: made by the user-interface thread, asked for by the scan worker.
#include "context/scan_context_win32.h"

void SwapAccelerators(ScanContext* context, bool working)
{
    HACCEL table = LoadAcceleratorsA(context->instance, working ? "WorkingButtonAccel" : "IdleButtonAccel");
    HACCEL old = context->accelerators;
    context->accelerators = table;
    // A module table loaded twice may come back as the same handle; never destroy the new one.
    if (old != nullptr && old != table)
        DestroyAcceleratorTable(old);
}

void RequestAccelerators(const ScanContext* context, bool working)
{
    SendMessageA(context->mainWindow, kShowTableMessage, working ? 1 : 0, 0);
}
