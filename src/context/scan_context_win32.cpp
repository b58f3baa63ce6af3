// Accelerator table replacement, shared by the scan worker and Stop.
#include "context/scan_context.h"

void SwapAccelerators(ScanContext* context, const char* name)
{
    HACCEL table = LoadAcceleratorsA(context->instance, name);
    HACCEL old = context->accelerators.exchange(table);
    // A module table loaded twice may come back as the same handle; never destroy the new one.
    if (old != nullptr && old != table)
        DestroyAcceleratorTable(old);
}
