// The key-down filter of the message loop.
#include "app/key_filter.h"

bool KeyDownMayMatchTable(unsigned virtualKey)
{
    return (virtualKey >= 'A' && virtualKey <= 'Z') || (virtualKey >= '0' && virtualKey <= '9');
}
