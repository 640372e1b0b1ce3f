// The agent's windows on a private X server with a real window manager
// (openbox): screens, stacking, focus, and the tray icon.
#include <QSystemTrayIcon>
#include <QWidget>

#include "platform/fake/FakeUserSession.h"
#include "support/FakeService.h"
#include "ui/ChatStatusItem.h"
#include "ui/FullScreenBlockerController.h"
#include "ui/QtAgentViews.h"
#include "ui/TimeWarningPopup.h"
#include "ui/UiFixture.h"

// Last: Xlib's macros (Bool, Status, None) would break the headers above.
#include <X11/Xlib.h>

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;

class WindowManagerTest : public ::testing::Test {
  protected:
    void start(XServer::Options options = {}) {
        x = std::make_unique<XServer>(std::move(options));
        ASSERT_TRUE(x->running() && x->error().empty()) << x->error();
        app = ui::makeAgentApplication({"-platform", "xcb", "-display", x->display()});
    }
    unsigned long number(const std::vector<std::string>& command) const {
        return std::strtoul(x->run(command).c_str(), nullptr, 10);
    }
    bool viewable(WId id) const {
        return x->run({"xwininfo", "-id", std::to_string(id)}).find("IsViewable") !=
               std::string::npos;
    }
    // Whether `a` is stacked above `b`, as the window manager says.
    bool above(unsigned long a, unsigned long b) const {
        std::string out = x->run({"xprop", "-root", "_NET_CLIENT_LIST_STACKING"});
        std::replace(out.begin(), out.end(), '\n', ',');
        const auto at = [&](unsigned long id) {
            return out.find(" 0x" + QString::number(id, 16).toStdString() + ",");
        };
        return at(a) != std::string::npos && at(b) != std::string::npos && at(a) > at(b);
    }

    std::unique_ptr<XServer> x;
    std::unique_ptr<QApplication> app;
    VirtualMainQueue queue;
};

// Another client's window (xmessage) active: the card leaves the focus there; the blocker
// covers both screens, stays on top, takes the keyboard back, ignores close and move.
TEST_F(WindowManagerTest, TheCardLeavesTheFocusAndTheBlockerCoversBothScreensAndWinsItBack) {
    start({.screens = {"1280x800", "1024x768"}});
    Process other(Launch{.argv = {"/usr/bin/xmessage", "-geometry", "400x160+200+200", "other"},
                         .env = environmentWith({"DISPLAY=" + x->screen(0)}),
                         .capture = false});
    unsigned long otherId = 0;
    ASSERT_TRUE(waitUntil([&] {
        return (otherId = number({"xdotool", "search", "--onlyvisible", "--class", "Xmessage"}));
    }));
    const auto toFront = [&] {
        x->run({"xdotool", "windowactivate", "--sync", std::to_string(otherId)});
        x->run({"xdotool", "windowraise", std::to_string(otherId)});
    };
    const auto active = [&] { return number({"xdotool", "getactivewindow"}); };
    toFront();
    auto views = std::make_shared<ui::QtAgentViews>(
        queue, std::make_shared<platform::FakeUserSession>(), nullptr);

    auto warning = views->makeTimeWarning();
    warning->show(5);
    QWidget* card = dynamic_cast<ui::TimeWarningPopup&>(*warning).window();
    ASSERT_TRUE(waitUntil([&] { return viewable(card->winId()); }));
    settleFor(500ms);
    EXPECT_EQ(active(), otherId);
    EXPECT_EQ(serverGeometry(*x, card->winId()), QRect(1280 - 360 - 24, 24, 360, 96));

    auto blocker = views->makeBlocker("Emma", 60, [](std::int64_t) {});
    blocker->show();
    const auto& windows = dynamic_cast<ui::FullScreenBlockerController&>(*blocker).windows();
    ASSERT_EQ(windows.size(), 2u);
    ASSERT_TRUE(waitUntil([&] { return viewable(windows[0]->winId()); }));
    const WId mine = windows[0]->winId();
    EXPECT_EQ(serverGeometry(*x, mine), QRect(0, 0, 1280, 800));
    EXPECT_TRUE(waitUntil(
        [&] { return serverGeometry(*x, windows[1]->winId()) == QRect(0, 0, 1024, 768); }));

    // An ordinary window that takes the focus and raises itself stays below.
    EXPECT_TRUE(waitUntil([&] { return above(mine, otherId); }));
    toFront();
    ASSERT_TRUE(waitUntil([] { return QApplication::activeWindow() == nullptr; }));
    settleFor(300ms);
    EXPECT_TRUE(above(mine, otherId));
    // A pushy one puts itself in the stay-on-top layer too: in front until the pin.
    Display* dpy = XOpenDisplay(x->screen(0).c_str());
    ASSERT_TRUE(dpy);
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = otherId;
    ev.xclient.message_type = XInternAtom(dpy, "_NET_WM_STATE", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = 1;  // add
    ev.xclient.data.l[1] = static_cast<long>(XInternAtom(dpy, "_NET_WM_STATE_ABOVE", False));
    XSendEvent(dpy, DefaultRootWindow(dpy), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &ev);
    XCloseDisplay(dpy);
    toFront();
    ASSERT_TRUE(waitUntil([&] { return above(otherId, mine); }));
    queue.advance(ui::FullScreenBlockerController::kPinInterval);
    EXPECT_TRUE(waitUntil([&] { return above(mine, otherId); }, 3s));
    EXPECT_TRUE(waitUntil([&] { return active() == mine; }));

    x->run({"xdotool", "key", "--clearmodifiers", "alt+F4", "Escape"});
    x->run({"xdotool", "windowmove", std::to_string(mine), "300", "200"});
    settleFor(800ms);
    EXPECT_EQ(serverGeometry(*x, mine), QRect(0, 0, 1280, 800));
    EXPECT_TRUE(viewable(mine));
}

TEST_F(WindowManagerTest, TrayIconWaitsForATrayHostAndAClickOpensTheChat) {
    TempRoot root;
    start();
    int clicks = 0;
    ui::ChatStatusItem item([&] { ++clicks; });
    QSystemTrayIcon* tray = item.trayIcon();
    settleFor(200ms);
    EXPECT_FALSE(tray->geometry().isValid());
    const std::string warning = "WARN  no system tray — chat icon appears when a tray host starts";
    EXPECT_EQ(logLinesWith(warning).size(), 1u);
    ASSERT_TRUE(x->startTrayHost());
    ASSERT_TRUE(waitUntil([&] { return tray->geometry().isValid(); }));
    EXPECT_EQ(logLinesWith(warning).size(), 1u);
    settleFor(200ms);
    const QPoint at = tray->geometry().center();
    x->run({"xdotool", "mousemove", std::to_string(at.x()), std::to_string(at.y()), "click", "1"});
    EXPECT_TRUE(waitUntil([&] { return clicks == 1; }));
}

}  // namespace
}  // namespace tarvo::test
