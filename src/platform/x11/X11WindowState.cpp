#include "platform/x11/X11WindowState.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <vector>

namespace tarvo::platform {

void setSkipTaskbar(void* displayHandle, unsigned long window, bool skip) {
    auto* dpy = static_cast<Display*>(displayHandle);
    if (!dpy || !window) return;
    const Atom state = XInternAtom(dpy, "_NET_WM_STATE", False);
    const Atom skips[] = {XInternAtom(dpy, "_NET_WM_STATE_SKIP_TASKBAR", False),
                          XInternAtom(dpy, "_NET_WM_STATE_SKIP_PAGER", False)};

    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(dpy, window, &attributes)) return;
    if (attributes.map_state == IsUnmapped) {
        // Before mapping the property is the client's to set.
        std::vector<Atom> atoms;
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(dpy, window, state, 0, 1024, False, XA_ATOM, &type, &format, &count,
                               &after, &data) == Success &&
            data) {
            if (type == XA_ATOM && format == 32) {
                const auto* list = reinterpret_cast<const long*>(data);
                for (unsigned long i = 0; i < count; ++i)
                    atoms.push_back(static_cast<Atom>(list[i]));
            }
            XFree(data);
        }
        for (Atom a : skips) {
            auto it = std::find(atoms.begin(), atoms.end(), a);
            if (skip && it == atoms.end()) atoms.push_back(a);
            if (!skip && it != atoms.end()) atoms.erase(it);
        }
        std::vector<long> values(atoms.begin(), atoms.end());
        XChangeProperty(dpy, window, state, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(values.data()),
                        static_cast<int>(values.size()));
    } else {
        XEvent ev{};
        ev.xclient.type = ClientMessage;
        ev.xclient.window = window;
        ev.xclient.message_type = state;
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = skip ? 1 : 0;  // add / remove
        ev.xclient.data.l[1] = static_cast<long>(skips[0]);
        ev.xclient.data.l[2] = static_cast<long>(skips[1]);
        ev.xclient.data.l[3] = 1;  // an application's request
        XSendEvent(dpy, attributes.root, False, SubstructureRedirectMask | SubstructureNotifyMask,
                   &ev);
    }
    XFlush(dpy);
}

}  // namespace tarvo::platform

namespace tarvo::platform {

void activateLikeAPager(void* displayHandle, unsigned long window) {
    auto* dpy = static_cast<Display*>(displayHandle);
    if (!dpy || !window) return;
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(dpy, window, &attributes)) return;
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = window;
    ev.xclient.message_type = XInternAtom(dpy, "_NET_ACTIVE_WINDOW", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = 2;  // a pager's request
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(dpy, attributes.root, False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
    XFlush(dpy);
}

}  // namespace tarvo::platform
