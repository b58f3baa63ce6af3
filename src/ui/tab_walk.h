// The rule of the next-control walk that Tab drives: which control of the main window's children
// (in creation order) gets the focus next.
#pragma once

// What the walk needs to know of one control.
struct TabCandidate {
    bool tabStop;   // has WS_TABSTOP
    bool disabled;  // has WS_DISABLED
};

// The control after current (an index into controls, or -1 for none) that has a tab stop and is
// not disabled. Running off the end, the walk goes on after wrapAfter (the "Scan" group box), so
// it never lands on the controls before it. Returns -1 when no control qualifies.
int NextTabControl(const TabCandidate* controls, int count, int current, int wrapAfter);
