#pragma once

#include <QObject>

#include <cstdint>
#include <memory>

class QSocketNotifier;
struct xcb_connection_t;

namespace tarvo::chatqt {

// Whether an X window can be seen at all, as the X server itself reports it:
// VisibilityNotify (unobscured, partly or fully obscured) and UnmapNotify,
// selected on a connection of our own so that Qt's event masks on the same
// window stay untouched. Start watching before the window is first mapped:
// the server announces a window's visibility when it becomes viewable, and
// until it has, the window counts as not visible.
class X11Visibility : public QObject {
    Q_OBJECT
  public:
    // Null when no X server can be reached (another windowing platform).
    static std::unique_ptr<X11Visibility> watch(std::uint32_t window);
    ~X11Visibility() override;

    // Mapped, viewable, and not fully covered by other windows.
    bool unobscured() const { return unobscured_; }

  signals:
    void changed(bool unobscured);

  private:
    X11Visibility(xcb_connection_t* connection, std::uint32_t window);
    void readEvents();

    xcb_connection_t* connection_;
    std::uint32_t window_;
    QSocketNotifier* notifier_ = nullptr;
    bool unobscured_ = false;
};

// Puts a not yet mapped top-level window on every virtual desktop
// (_NET_WM_DESKTOP 0xFFFFFFFF), through Qt's own X connection. Nothing
// happens on other windowing platforms.
void showOnAllDesktops(std::uint32_t window);

}  // namespace tarvo::chatqt
