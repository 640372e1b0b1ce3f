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

namespace tarvo::platform {

namespace {

constexpr long kEveryDesktop = 0xFFFFFFFF;

long desktopOf(Display* dpy, Window window) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    long desktop = -1;
    if (XGetWindowProperty(dpy, window, XInternAtom(dpy, "_NET_WM_DESKTOP", False), 0, 1, False,
                           XA_CARDINAL, &type, &format, &count, &after, &data) == Success &&
        data && type == XA_CARDINAL && format == 32 && count == 1)
        desktop = *reinterpret_cast<const long*>(data) & kEveryDesktop;
    if (data) XFree(data);
    return desktop;
}

void askForEveryDesktop(Display* dpy, Window window, Window root) {
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = window;
    ev.xclient.message_type = XInternAtom(dpy, "_NET_WM_DESKTOP", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = kEveryDesktop;
    ev.xclient.data.l[1] = 2;  // a pager's request
    XSendEvent(dpy, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
}

// Adds `atom` to the window's _NET_WM_STATE property (an unmapped window's states are its own).
void addStateBeforeMapping(Display* dpy, Window window, Atom atom) {
    const Atom state = XInternAtom(dpy, "_NET_WM_STATE", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    bool present = false;
    if (XGetWindowProperty(dpy, window, state, 0, 1024, False, XA_ATOM, &type, &format, &count,
                           &after, &data) == Success &&
        data && type == XA_ATOM && format == 32) {
        const auto* list = reinterpret_cast<const long*>(data);
        present = std::find(list, list + count, static_cast<long>(atom)) != list + count;
    }
    if (data) XFree(data);
    if (present) return;
    const long value = static_cast<long>(atom);
    XChangeProperty(dpy, window, state, XA_ATOM, 32, PropModeAppend,
                    reinterpret_cast<const unsigned char*>(&value), 1);
}

// The window's ancestor among the root's children: its frame when a window manager keeps it.
Window topLevelOf(Display* dpy, Window window) {
    for (int depth = 0; depth < 16; ++depth) {
        Window root = None, parent = None, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(dpy, window, &root, &parent, &children, &count)) return None;
        if (children) XFree(children);
        if (parent == root || parent == None) return window;
        window = parent;
    }
    return None;
}

}  // namespace

std::string holdCover(void* displayHandle, unsigned long window,
                      const std::vector<unsigned long>& own) {
    auto* dpy = static_cast<Display*>(displayHandle);
    if (!dpy || !window) return "";
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(dpy, window, &attributes)) return "";
    std::string done;
    // A window manager marks the windows it keeps with WM_STATE and takes it off (with its
    // other states) when it lets a window go.
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const Atom wmState = XInternAtom(dpy, "WM_STATE", False);
    const bool managed = XGetWindowProperty(dpy, window, wmState, 0, 2, False, wmState, &type,
                                            &format, &count, &after, &data) == Success &&
                         type == wmState;
    if (data) XFree(data);
    if (!managed && attributes.map_state == IsUnmapped) {
        const long every = kEveryDesktop;
        XChangeProperty(dpy, window, XInternAtom(dpy, "_NET_WM_DESKTOP", False), XA_CARDINAL, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&every), 1);
        addStateBeforeMapping(dpy, window, XInternAtom(dpy, "_NET_WM_STATE_ABOVE", False));
        XMapRaised(dpy, window);
        done = "mapped again";
    } else if (managed && desktopOf(dpy, window) != kEveryDesktop) {
        askForEveryDesktop(dpy, window, attributes.root);
        done = "put on every desktop";
    } else if (managed && attributes.map_state != IsViewable) {
        // Hidden by the window manager for another reason (the desktop shown, minimised).
        activateLikeAPager(dpy, window);
        done = "shown again";
    }

    // No window manager stacks override-redirect windows: another program's one over the
    // cover goes to the bottom. This client's own (its dialogs' frames, its popups) stay.
    const Window frame = topLevelOf(dpy, window);
    XWindowAttributes area{};
    if (frame == None || !XGetWindowAttributes(dpy, frame, &area)) return done;
    std::vector<Window> ours{frame};
    for (unsigned long w : own)
        if (Window top = topLevelOf(dpy, w); top != None) ours.push_back(top);
    Window root = None, parent = None, *children = nullptr;
    unsigned stacked = 0;
    if (!XQueryTree(dpy, attributes.root, &root, &parent, &children, &stacked)) return done;
    int lowered = 0;
    Window* const end = children + stacked;
    const auto self = std::find(children, end, frame);
    for (auto* it = self == end ? self : self + 1; it < end; ++it) {
        XWindowAttributes other{};
        if (std::find(ours.begin(), ours.end(), *it) != ours.end() ||
            !XGetWindowAttributes(dpy, *it, &other) || other.map_state != IsViewable ||
            !other.override_redirect)
            continue;
        const bool overlaps = other.x < area.x + area.width && area.x < other.x + other.width &&
                              other.y < area.y + area.height && area.y < other.y + other.height;
        if (!overlaps) continue;
        XLowerWindow(dpy, *it);
        ++lowered;
    }
    if (children) XFree(children);
    if (lowered)
        done += (done.empty() ? "" : ", ") + std::to_string(lowered) + " window(s) put below";
    XFlush(dpy);
    return done;
}

bool grabInput(void* displayHandle, unsigned long window) {
    auto* dpy = static_cast<Display*>(displayHandle);
    if (!dpy || !window) return false;
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(dpy, window, &attributes) || attributes.map_state != IsViewable)
        return false;
    // Owner events: what goes to a window of this client still goes there.
    const int keyboard =
        XGrabKeyboard(dpy, window, True, GrabModeAsync, GrabModeAsync, CurrentTime);
    const int pointer =
        XGrabPointer(dpy, window, True, ButtonPressMask | ButtonReleaseMask | PointerMotionMask,
                     GrabModeAsync, GrabModeAsync, None, None, CurrentTime);
    XFlush(dpy);
    return keyboard == GrabSuccess && pointer == GrabSuccess;
}

bool hasInputFocus(void* displayHandle, unsigned long window) {
    auto* dpy = static_cast<Display*>(displayHandle);
    if (!dpy) return false;
    Window focus = None;
    int revert = 0;
    XGetInputFocus(dpy, &focus, &revert);
    return focus == window;
}

}  // namespace tarvo::platform
