// Which key-down messages the message loop offers to the accelerator tables.
#pragma once

// The tables hold characters, not virtual keys. The platform also matches an Alt entry against
// the virtual-key code of a key-down, and for the letters A-Z and digits 0-9 that code is the
// character itself, which is how Alt+S, Alt+D and Alt+T are found. Every other code would only
// match by accident: the lower-case letters 0x61-0x7A are the keypad and function keys
// (Alt+F4 is 's', Alt+F5 't', Alt+Numpad 4 'd'). So a key-down reaches the table only when its
// code is a letter or a digit; characters (WM_CHAR, WM_SYSCHAR) always do.
bool KeyDownMayMatchTable(unsigned virtualKey);
