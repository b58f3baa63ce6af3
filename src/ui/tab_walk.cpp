// The next-control walk, apart from the windows it moves the focus between.
#include "ui/tab_walk.h"

int NextTabControl(const TabCandidate* controls, int count, int current, int wrapAfter)
{
    if (count <= 0 || wrapAfter < 0 || wrapAfter >= count)
        return -1;
    int at = (current < 0 || current >= count) ? wrapAfter : current;
    // Every control is looked at at most twice: once before the wrap and once after it.
    for (int steps = 0; steps < 2 * count + 2; ++steps) {
        const int next = at + 1;
        if (next >= count) {
            at = wrapAfter;
            continue;
        }
        if (controls[next].tabStop && !controls[next].disabled)
            return next;
        at = next;
    }
    return -1;
}
