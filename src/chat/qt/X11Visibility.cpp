#include "chat/qt/X11Visibility.h"

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QSocketNotifier>
#include <cstdlib>

namespace tarvo::chatqt {

std::unique_ptr<X11Visibility> X11Visibility::watch(std::uint32_t window) {
    if (!window) return nullptr;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (!connection || xcb_connection_has_error(connection)) {
        if (connection) xcb_disconnect(connection);
        return nullptr;
    }
    // Event masks are per client: selecting here leaves Qt's own selection alone.
    const std::uint32_t mask = XCB_EVENT_MASK_VISIBILITY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_void_cookie_t cookie =
        xcb_change_window_attributes_checked(connection, window, XCB_CW_EVENT_MASK, &mask);
    if (xcb_generic_error_t* error = xcb_request_check(connection, cookie)) {
        std::free(error);
        xcb_disconnect(connection);
        return nullptr;
    }
    return std::unique_ptr<X11Visibility>(new X11Visibility(connection, window));
}

X11Visibility::X11Visibility(xcb_connection_t* connection, std::uint32_t window)
    : connection_(connection), window_(window) {
    notifier_ =
        new QSocketNotifier(xcb_get_file_descriptor(connection_), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &X11Visibility::readEvents);
    // Events already read off the socket by the request above.
    readEvents();
}

X11Visibility::~X11Visibility() {
    delete notifier_;
    xcb_disconnect(connection_);
}

void X11Visibility::readEvents() {
    bool state = unobscured_;
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        switch (event->response_type & 0x7f) {
            case XCB_VISIBILITY_NOTIFY: {
                auto* v = reinterpret_cast<xcb_visibility_notify_event_t*>(event);
                if (v->window == window_) state = v->state != XCB_VISIBILITY_FULLY_OBSCURED;
                break;
            }
            case XCB_UNMAP_NOTIFY: {
                auto* u = reinterpret_cast<xcb_unmap_notify_event_t*>(event);
                if (u->window == window_) state = false;
                break;
            }
            case XCB_DESTROY_NOTIFY: {
                auto* d = reinterpret_cast<xcb_destroy_notify_event_t*>(event);
                if (d->window == window_) state = false;
                break;
            }
            default:
                break;
        }
        std::free(event);
    }
    if (xcb_connection_has_error(connection_)) {
        // The server went away: nothing can be seen any more.
        notifier_->setEnabled(false);
        state = false;
    }
    if (state != unobscured_) {
        unobscured_ = state;
        emit changed(state);
    }
}

void showOnAllDesktops(std::uint32_t window) {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection || !window) return;
    static const char name[] = "_NET_WM_DESKTOP";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, sizeof name - 1, name), nullptr);
    if (!atom) return;
    const std::uint32_t all = 0xFFFFFFFF;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, atom->atom, XCB_ATOM_CARDINAL,
                        32, 1, &all);
    xcb_flush(connection);
    std::free(atom);
}

}  // namespace tarvo::chatqt
