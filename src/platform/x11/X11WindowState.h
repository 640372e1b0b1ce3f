#pragma once

#include <string>
#include <vector>

namespace tarvo::platform {

// Gives a top-level X11 window a taskbar (and pager) entry or takes it away,
// through the EWMH _NET_WM_STATE_SKIP_TASKBAR and _SKIP_PAGER states: on the
// property while the window is unmapped, by asking the window manager once
// it is mapped. `display` is the Xlib Display* the window belongs to.
void setSkipTaskbar(void* display, unsigned long window, bool skip);

}  // namespace tarvo::platform

namespace tarvo::platform {

// Asks the window manager to give `window` the keyboard and bring it to the
// front, the way a pager or taskbar does (EWMH _NET_ACTIVE_WINDOW, source 2),
// which window managers do not refuse as focus stealing.
void activateLikeAPager(void* display, unsigned long window);

}  // namespace tarvo::platform

namespace tarvo::platform {

// Keeps a full-screen cover window of this client where it belongs whatever another program
// did to it: unmapped, it is mapped again above the others, on every desktop; left on one
// desktop, it is asked onto every desktop; another program's override-redirect window over
// its screen (which no window manager stacks) is put below it. `own` are this client's other
// top-level windows, left where they are. Returns what it put right, "" when nothing.
std::string holdCover(void* display, unsigned long window, const std::vector<unsigned long>& own);

// Takes the keyboard and the pointer for this client: while held, keys and clicks meant for
// another program's windows come to `window`, and this client's own windows (a dialog above
// the cover) get theirs as usual. False when the window is not viewable or another client
// (a window manager in the middle of a move) holds one of them; taking them again is harmless.
bool grabInput(void* display, unsigned long window);
// Whether the X server sends this client's keys to `window` (its input focus).
bool hasInputFocus(void* display, unsigned long window);

}  // namespace tarvo::platform
