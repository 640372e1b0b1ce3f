// The agent's views: offscreen, their texts and timers on virtual time; on a
// private X server with a real window manager (openbox), screens, stacking,
// focus, and the tray icon.
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStyleHints>
#include <QSystemTrayIcon>
#include <QWidget>

#include "platform/fake/FakeUserSession.h"
#include "support/FakeService.h"
#include "ui/ChatStatusItem.h"
#include "ui/FullScreenBlockerController.h"
#include "ui/MoreTimeRequestPopup.h"
#include "ui/QtAgentViews.h"
#include "ui/TimeWarningPopup.h"
#include "ui/UiFixture.h"

// Last: Xlib's macros (Bool, Status, None) would break the headers above.
#include <X11/Xlib.h>

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;

// The X server's own view of the windows, read over a connection of the test's own.
class ServerState {
  public:
    explicit ServerState(const std::string& display) : dpy_(XOpenDisplay(display.c_str())) {}
    ~ServerState() {
        if (dpy_) XCloseDisplay(dpy_);
    }
    bool connected() const { return dpy_; }
    bool viewable(unsigned long w) const {
        XWindowAttributes a{};
        return XGetWindowAttributes(dpy_, w, &a) && a.map_state == IsViewable;
    }
    unsigned long focus() const {
        Window w = 0;
        int revert = 0;
        XGetInputFocus(dpy_, &w, &revert);
        return w;
    }
    // Whether `a` is stacked above `b` among the root's children (frames included).
    bool stackedAbove(unsigned long a, unsigned long b) const {
        const std::vector<Window> order = rootChildren();
        const auto at = [&](unsigned long w) {
            return std::find(order.begin(), order.end(), topLevel(w)) - order.begin();
        };
        return at(a) < long(order.size()) && at(b) < long(order.size()) && at(a) > at(b);
    }
    // Whether some client holds the keyboard and the pointer: this one cannot take them.
    bool inputGrabbed() const {
        const Window root = DefaultRootWindow(dpy_);
        const int keyboard =
            XGrabKeyboard(dpy_, root, False, GrabModeAsync, GrabModeAsync, CurrentTime);
        if (keyboard == GrabSuccess) XUngrabKeyboard(dpy_, CurrentTime);
        const int pointer = XGrabPointer(dpy_, root, False, ButtonPressMask, GrabModeAsync,
                                         GrabModeAsync, None, None, CurrentTime);
        if (pointer == GrabSuccess) XUngrabPointer(dpy_, CurrentTime);
        XSync(dpy_, False);
        return keyboard == AlreadyGrabbed && pointer == AlreadyGrabbed;
    }

  protected:
    std::vector<Window> rootChildren() const {
        Window root = 0, parent = 0, *children = nullptr;
        unsigned count = 0;
        std::vector<Window> order;
        if (XQueryTree(dpy_, DefaultRootWindow(dpy_), &root, &parent, &children, &count))
            order.assign(children, children + count);
        if (children) XFree(children);
        return order;
    }
    // The window's ancestor that is a child of the root: its frame when managed.
    Window topLevel(Window w) const {
        for (;;) {
            Window root = 0, parent = 0, *children = nullptr;
            unsigned count = 0;
            if (!XQueryTree(dpy_, w, &root, &parent, &children, &count)) return 0;
            if (children) XFree(children);
            if (parent == root || !parent) return w;
            w = parent;
        }
    }
    Display* dpy_;
};

// Another program: its own connection to the X server and one window that counts the keys
// and clicks the server gives it. Override-redirect windows skip the window manager.
class OtherProgram : public ServerState {
  public:
    OtherProgram(const std::string& display, QRect at, bool overrideRedirect)
        : ServerState(display) {
        if (!dpy_) return;
        XSetWindowAttributes attributes{};
        attributes.override_redirect = overrideRedirect;
        attributes.background_pixel = WhitePixel(dpy_, DefaultScreen(dpy_));
        attributes.event_mask = KeyPressMask | ButtonPressMask;
        window_ =
            XCreateWindow(dpy_, DefaultRootWindow(dpy_), at.x(), at.y(), unsigned(at.width()),
                          unsigned(at.height()), 0, CopyFromParent, InputOutput, CopyFromParent,
                          CWOverrideRedirect | CWBackPixel | CWEventMask, &attributes);
        XMapRaised(dpy_, window_);
        XSync(dpy_, False);
    }
    unsigned long id() const { return window_; }
    void raise() {
        XRaiseWindow(dpy_, window_);
        XSync(dpy_, False);
    }
    // Asks the window manager of X screen `screen` what a pager may ask: an EWMH message about
    // `about` (the root window when 0), "_NET_WM_STATE" with 1 and an atom's name to add a state.
    void ask(const char* message, long value, const char* atom = nullptr, unsigned long about = 0,
             int screen = 0) {
        XEvent ev{};
        ev.xclient.type = ClientMessage;
        ev.xclient.window = about ? about : RootWindow(dpy_, screen);
        ev.xclient.message_type = XInternAtom(dpy_, message, False);
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = value;
        if (atom) ev.xclient.data.l[1] = static_cast<long>(XInternAtom(dpy_, atom, False));
        XSendEvent(dpy_, RootWindow(dpy_, screen), False,
                   SubstructureRedirectMask | SubstructureNotifyMask, &ev);
        XSync(dpy_, False);
    }
    // Keys and clicks so far: everything the server sent before this round trip.
    int inputs() {
        XSync(dpy_, False);
        while (XPending(dpy_)) {
            XEvent ev;
            XNextEvent(dpy_, &ev);
            inputs_ += ev.type == KeyPress || ev.type == ButtonPress;
        }
        return inputs_;
    }

  private:
    Window window_ = 0;
    int inputs_ = 0;
};

class ViewsTest : public ::testing::Test {
  protected:
    // The agent's views offscreen; or on a private X server (`onX`), with the server's view
    // over a connection of the test's own, `before` run on it before the application starts.
    void start(std::optional<XServer::Options> onX = std::nullopt,
               const std::vector<std::string>& before = {}) {
        if (onX) {
            x = std::make_unique<XServer>(std::move(*onX));
            ASSERT_TRUE(x->running() && x->error().empty()) << x->error();
            if (!before.empty()) x->run(before);
            server = std::make_unique<ServerState>(x->screen(0));
            ASSERT_TRUE(server->connected());
            app = ui::makeAgentApplication({"-platform", "xcb", "-display", x->display()});
        } else {
            app = ui::makeAgentApplication({"-platform", "offscreen"});
        }
        views = std::make_shared<ui::QtAgentViews>(queue, session, nullptr);
    }
    // Whether xprop finds `value` in window `w`'s (the root's when 0) property `name`.
    bool property(unsigned long w, const char* name, const std::string& value) const {
        std::vector<std::string> argv{"xprop", "-root", name};
        if (w) argv = {"xprop", "-id", std::to_string(w), name};
        return x->run(argv).find(value) != std::string::npos;
    }
    // A blocker shown for Emma Lind after 95 minutes, each request heard in `asked`; its
    // windows, the primary screen's first.
    const std::vector<ui::BlockerWindow*>& showBlocker() {
        blocker = views->makeBlocker("Emma Lind", 95, [&](std::int64_t m) { asked.push_back(m); });
        blocker->show();
        return windows();
    }
    // Clicks `text` on the blocker and runs `act` on the modal dialog it opens
    // (which may destroy the blocker and its buttons). The click returns with the
    // dialog open: no nested event loop runs timers and grants inside it.
    void withModal(const QString& text, std::function<void(QWidget*)> act) {
        for (auto* b : showBlocker().front()->findChildren<QPushButton*>())
            if (b->text() == text) b->click();
        act(QApplication::activeModalWidget());
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    const std::vector<ui::BlockerWindow*>& windows() const {
        return dynamic_cast<ui::FullScreenBlockerController&>(*blocker).windows();
    }

    std::unique_ptr<XServer> x;
    std::unique_ptr<ServerState> server;
    std::unique_ptr<QApplication> app;
    VirtualMainQueue queue;
    std::shared_ptr<platform::FakeUserSession> session =
        std::make_shared<platform::FakeUserSession>();
    std::shared_ptr<ui::QtAgentViews> views;
    std::unique_ptr<BlockerView> blocker;
    std::vector<std::int64_t> asked;
};

TEST_F(ViewsTest, TextsTimersAndTheDialogsThatAskFirst) {
    start();
    views->becomeMenuBarOnly();
    ui::BlockerWindow* w = showBlocker().front();
    EXPECT_EQ(w->findChild<QLabel*>("headline")->text(), "Time's up, Emma Lind.");
    EXPECT_EQ(w->findChild<QLabel*>("usedLine")->text(),
              "You've used 95 minutes today. Your parent can grant more time.");
    EXPECT_EQ(views->activationPolicy(), platform::ActivationPolicy::regular);

    blocker->dismiss();
    EXPECT_EQ(queue.activeTimers(), 0u);
    EXPECT_EQ(views->activationPolicy(), platform::ActivationPolicy::accessory);
    blocker->dismiss();
    EXPECT_EQ(showBlocker().size(), 1u) << "shown again after a dismissal";
    EXPECT_EQ(queue.activeTimers(), 1u);
    blocker.reset();

    // The time card: one at a time, each for its own fifteen seconds.
    ui::TimeWarningPopup popup(queue);
    auto message = [&] { return popup.window()->findChild<QLabel*>("message")->text(); };
    popup.show(1);
    EXPECT_EQ(message(), "You have 1 minute of screen time left.");
    popup.show(5);
    EXPECT_EQ(message(), "You have 5 minutes of screen time left.");
    int cards = 0;
    for (QWidget* w : QApplication::topLevelWidgets()) cards += w->isVisible();
    EXPECT_EQ(cards, 1) << "one at a time";

    popup.close();
    popup.show(5);
    queue.advance(10s);
    popup.show(4);  // its own full 15 seconds
    queue.advance(14999ms);
    EXPECT_TRUE(popup.window() && popup.window()->isVisible());
    queue.advance(1ms);
    EXPECT_EQ(popup.window(), nullptr);
    EXPECT_EQ(queue.activeTimers(), 0u);

    // Whole numbers of minutes from 1 to 1440 only.
    const auto minutes = [](const char* text) {
        return ui::MoreTimeRequestPopup::parseMinutes(QString::fromUtf8(text));
    };
    EXPECT_EQ(minutes("1"), 1);
    EXPECT_EQ(minutes("+1440"), 1440);
    for (const char* text : {"0", "1441", "12.5", "99999999999999999999", "٣٠"})
        EXPECT_EQ(minutes(text), std::nullopt) << text;

    withModal("Request more time", [&](QWidget* modal) {
        auto* dialog = qobject_cast<ui::MoreTimeRequestPopup*>(modal);
        ASSERT_TRUE(dialog);
        EXPECT_TRUE(dialog->windowFlags() & Qt::WindowStaysOnTopHint);
        QComboBox* combo = dialog->comboBox();
        EXPECT_EQ(combo->currentText(), "30");
        // Every two seconds the pin brings the minimised dialog and blocker back.
        QWidget* w = windows().front();
        dialog->showMinimized();
        w->showMinimized();
        queue.advance(1999ms);
        EXPECT_TRUE(dialog->isMinimized() && w->isMinimized());
        queue.advance(1ms);
        EXPECT_FALSE(dialog->isMinimized() || w->isMinimized());
        combo->setEditText("1441");
        dialog->findChild<QPushButton*>("sendRequest")->click();
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_EQ(dialog->hintLabel()->text(), "Enter a whole number of minutes from 1 to 1440.");
        combo->setCurrentIndex(2);
        dialog->findChild<QPushButton*>("sendRequest")->click();
    });
    withModal("Request more time", [](QWidget* m) { qobject_cast<QDialog*>(m)->reject(); });
    // The grant arrives while the child is still choosing: nothing is sent.
    withModal("Request more time", [&](QWidget*) {
        blocker.reset();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    });
    EXPECT_EQ(asked, std::vector<std::int64_t>{60}) << "60 sent; Cancel and a grant send nothing";
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    for (const char* answer : {"Cancel", "Log out"}) {
        withModal("Log out", [answer](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            ASSERT_TRUE(box);
            EXPECT_EQ(box->text(), "Log out now?");
            EXPECT_TRUE(box->windowFlags() & Qt::WindowStaysOnTopHint);
            for (auto* b : box->buttons())
                if (b->text() == answer) b->click();
        });
    }
    EXPECT_EQ(session->logOutRequests(), 1);
}

// The blocker over two screens, shown while another program of the child's (the typist) has a
// window of its own, and the X server's view of both.
class BlockerUnderAttack : public ViewsTest {
  protected:
    void SetUp() override {
        start(XServer::Options{.screens = {"1280x800", "1024x768"}});
        typist = std::make_unique<OtherProgram>(x->screen(0), QRect(200, 200, 300, 200), false);
        ASSERT_TRUE(waitUntil([&] { return server->viewable(typist->id()); }));
        ASSERT_EQ(showBlocker().size(), 2u);
        mine = windows()[0]->winId();
        second = windows()[1]->winId();
        ASSERT_TRUE(waitUntil([&] { return uncovered().empty(); })) << uncovered();
    }
    // "" while the blocker covers everything, else what is wrong.
    std::string uncovered() const {
        std::string wrong;
        const auto check = [&](bool good, const char* what) {
            if (!good) wrong += std::string(wrong.empty() ? "" : ", ") + what;
        };
        check(server->viewable(mine) && server->viewable(second), "not viewable");
        check(serverGeometry(*x, mine) == QRect(0, 0, 1280, 800) &&
                  serverGeometry(*x, second) == QRect(0, 0, 1024, 768),
              "not over its screen");
        for (const WId w : {mine, second})
            check(property(w, "_NET_WM_DESKTOP", "= 4294967295\n"), "not on every desktop");
        check(server->stackedAbove(mine, typist->id()) &&
                  (!overlay || server->stackedAbove(mine, overlay->id())),
              "another window above");
        check(property(mine, "_NET_WM_STATE", "_NET_WM_STATE_ABOVE"),
              "not in the stay-on-top layer");
        check(server->focus() == mine, "the focus elsewhere");
        check(server->inputGrabbed(), "no grab");
        return wrong;
    }
    // Runs xdotool commands on the first screen, one after another.
    std::function<void()> xdotool(std::vector<std::vector<std::string>> commands) {
        return [this, commands] {
            for (auto command : commands) {
                command.insert(command.begin(), "xdotool");
                x->run(command);
            }
        };
    }

    std::unique_ptr<OtherProgram> typist, overlay;
    WId mine = 0, second = 0;
};

// Whatever another program did to the blocker, it is back over every screen, on top, on the
// desktop in view, with the keyboard and the pointer, within one pin.
TEST_F(BlockerUnderAttack, WhateverAnotherProgramDidTheBlockerIsBackWithinOnePin) {
    const std::string first = std::to_string(mine), typistId = std::to_string(typist->id());
    const auto raiseTypist =
        xdotool({{"windowactivate", "--sync", typistId}, {"windowraise", typistId}});
    const struct {
        const char* name;
        std::function<void()> attack;
        std::function<bool()> took;
    } attacks[] = {
        {"the keyboard on another program's window", xdotool({{"windowfocus", typistId}}),
         [&] { return server->focus() == typist->id(); }},
        {"unmapped",
         [&] {
             x->run({"xdotool", "windowunmap", first});
             x->run({"xdotool", "windowunmap", std::to_string(second)}, 1);
         },
         [&] { return !server->viewable(mine); }},
        {"another desktop in view", xdotool({{"set_desktop", "1"}}),
         [&] { return property(0, "_NET_CURRENT_DESKTOP", "= 1\n"); }},
        {"left on one desktop",
         xdotool({{"set_desktop_for_window", first, "0"}, {"set_desktop", "2"}}),
         [&] { return property(0, "_NET_CURRENT_DESKTOP", "= 2\n"); }},
        {"the desktop shown", [&] { typist->ask("_NET_SHOWING_DESKTOP", 1); },
         [&] { return !server->viewable(mine); }},
        {"the desktop shown on the second screen",
         [&] { typist->ask("_NET_SHOWING_DESKTOP", 1, nullptr, 0, 1); },
         [&] { return !server->viewable(second); }},
        {"the keyboard on the second screen's window",
         xdotool({{"windowfocus", std::to_string(second)}}),
         [&] { return server->focus() == second; }},
        {"another program's window activated and raised: below the blocker even before a pin",
         raiseTypist,
         [&] {
             return server->focus() == typist->id() && server->stackedAbove(mine, typist->id());
         }},
        {"another program's window in the stay-on-top layer, raised",
         [&] {
             typist->ask("_NET_WM_STATE", 1, "_NET_WM_STATE_ABOVE", typist->id());
             raiseTypist();
         },
         [&] { return server->stackedAbove(typist->id(), mine); }},
        {"another program's window that skips the window manager",
         [&] {
             if (overlay)
                 overlay->raise();
             else
                 overlay =
                     std::make_unique<OtherProgram>(x->screen(0), QRect(100, 100, 400, 300), true);
         },
         [&] {
             return server->viewable(overlay->id()) && server->stackedAbove(overlay->id(), mine);
         }},
    };
    for (const auto& a : attacks) {
        SCOPED_TRACE(a.name);
        // Again until it shows: an exposure may let the blocker win it back before a pin.
        ASSERT_TRUE(waitUntil([&] {
            a.attack();
            return a.took();
        }));
        queue.advance(ui::FullScreenBlockerController::kPinInterval);
        EXPECT_TRUE(waitUntil([&] { return uncovered().empty(); },
                              ui::FullScreenBlockerController::kPinInterval))
            << uncovered();
    }
    // Neither closed nor moved, without a pin to help.
    xdotool(
        {{"key", "--clearmodifiers", "alt+F4", "Escape"}, {"windowmove", first, "300", "200"}})();
    settleFor(800ms);
    EXPECT_EQ(uncovered(), "");
}

// Between pins another program may take the focus or show itself on top: the keys and the clicks
// still come to the blocker; Tarvo's own dialogs stay above it and take theirs.
TEST_F(BlockerUnderAttack, KeysAndClicksGoOnlyToTheBlockerAndItsOwnDialogs) {
    // The blocker may win the window back first, which only repeats the try.
    const auto whileTaken = [&](const std::function<void()>& take,
                                const std::function<bool()>& taken,
                                const std::vector<std::string>& input) {
        return waitUntil([&] {
            take();
            if (!taken()) return false;
            x->run(input);
            return taken();
        });
    };
    const std::string typistId = std::to_string(typist->id());
    ASSERT_TRUE(whileTaken(xdotool({{"windowfocus", typistId}}),
                           [&] { return server->focus() == typist->id(); },
                           {"xdotool", "type", "abc"}));
    EXPECT_EQ(typist->inputs(), 0);
    OtherProgram lure(x->screen(0), QRect(600, 100, 200, 100), true);
    ASSERT_TRUE(whileTaken([&] { lure.raise(); },
                           [&] { return server->stackedAbove(lure.id(), mine); },
                           {"xdotool", "mousemove", "700", "150", "click", "1"}));
    EXPECT_EQ(lure.inputs(), 0);

    // Tarvo's own dialogs open above the blocker, stay there through a pin and take the keys
    // and the clicks.
    const auto click = [&](QWidget* in, const QString& text) {
        for (auto* b : in->findChildren<QPushButton*>())
            if (b->text() == text) {
                const QPoint at = b->mapToGlobal(b->rect().center());
                x->run({"xdotool", "mousemove", std::to_string(at.x()), std::to_string(at.y()),
                        "click", "1"});
            }
    };
    const auto dialogOnTop = [&] {
        QWidget* modal = QApplication::activeModalWidget();
        return modal && server->viewable(modal->winId()) &&
               server->stackedAbove(modal->winId(), mine) && server->focus() == modal->winId();
    };
    click(windows()[0], "Log out");
    ASSERT_TRUE(waitUntil(dialogOnTop));
    queue.advance(ui::FullScreenBlockerController::kPinInterval);
    settleFor(300ms);
    EXPECT_TRUE(dialogOnTop()) << "the pin left the confirmation on top";
    // Another program took the keyboard: the pin gives it back to the dialog, not the blocker.
    ASSERT_TRUE(waitUntil([&] {
        x->run({"xdotool", "windowfocus", typistId});
        return server->focus() == typist->id();
    }));
    queue.advance(ui::FullScreenBlockerController::kPinInterval);
    EXPECT_TRUE(waitUntil(dialogOnTop, ui::FullScreenBlockerController::kPinInterval));
    click(QApplication::activeModalWidget(), "Cancel");
    EXPECT_TRUE(waitUntil([] { return !QApplication::activeModalWidget(); }));
    EXPECT_EQ(session->logOutRequests(), 0);
    click(windows()[0], "Request more time");
    ASSERT_TRUE(waitUntil(dialogOnTop));
    // The list of minutes holds the keys while open and gives them back to the blocker's grab.
    x->run({"xdotool", "key", "alt+Down"});
    ASSERT_TRUE(waitUntil([] { return QApplication::activePopupWidget(); }));
    x->run({"xdotool", "key", "Escape"});
    EXPECT_TRUE(
        waitUntil([&] { return !QApplication::activePopupWidget() && server->inputGrabbed(); },
                  ui::FullScreenBlockerController::kPinInterval));

    blocker->dismiss();
    EXPECT_TRUE(waitUntil([&] { return !server->inputGrabbed(); }));
    x->run({"xdotool", "windowfocus", "--sync", typistId});
    x->run({"xdotool", "type", "abc"});
    EXPECT_EQ(typist->inputs(), 3) << "the keyboard is the child's again";

    // The time card shows in the top-right corner of the primary screen and leaves another
    // program's window active.
    x->run({"xdotool", "windowactivate", "--sync", typistId});
    auto warning = views->makeTimeWarning();
    warning->show(5);
    QWidget* card = dynamic_cast<ui::TimeWarningPopup&>(*warning).window();
    ASSERT_TRUE(waitUntil([&] { return server->viewable(card->winId()); }));
    settleFor(500ms);
    EXPECT_EQ(activeWindow(*x), typist->id());
    EXPECT_EQ(serverGeometry(*x, card->winId()), QRect(1280 - 360 - 24, 24, 360, 96));
}

// A monitor plugged in while the blocker is up gets a window of its own; unplugged, the window
// goes, and with the primary one the texts and buttons move to the screen left. (An X screen
// wider than its monitors makes room for them; "*" marks the primary one.)
TEST_F(ViewsTest, AMonitorPluggedInUnderTheBlockerIsCovered) {
    start(XServer::Options{.screens = {"2560x800"}},
          {"xrandr", "--setmonitor", "*left", "1280/338x800/211+0+0", "none"});
    ASSERT_EQ(QGuiApplication::screens().size(), 2u);
    const auto& windows = showBlocker();
    ASSERT_EQ(windows.size(), 2u);
    const auto covering = [&](size_t i, QRect area) {
        return windows.size() > i && server->viewable(windows[i]->winId()) &&
               serverGeometry(*x, windows[i]->winId()) == area;
    };
    const QRect left(0, 0, 1280, 800), right(1280, 0, 1280, 800), whole(0, 0, 2560, 800);
    ASSERT_TRUE(waitUntil([&] { return covering(0, left) && covering(1, whole); }));
    x->run({"xrandr", "--setmonitor", "right", "1280/338x800/211+1280+0", "none"});
    EXPECT_TRUE(waitUntil([&] { return windows.size() == 3 && covering(2, right); }))
        << windows.size();
    x->run({"xrandr", "--delmonitor", "right"});
    EXPECT_TRUE(waitUntil([&] { return windows.size() == 2; }));
    x->run({"xrandr", "--delmonitor", "left"});
    EXPECT_TRUE(waitUntil([&] {
        return windows.size() == 1 && covering(0, whole) && windows[0]->findChild<QPushButton*>();
    })) << "the texts and buttons on the screen left";
    blocker->dismiss();
    x->run({"xrandr", "--setmonitor", "right", "1280/338x800/211+1280+0", "none"});
    EXPECT_TRUE(waitUntil([] { return QGuiApplication::screens().size() == 2; }));
    EXPECT_TRUE(windows.empty()) << "nothing shown while dismissed";
}

TEST_F(ViewsTest, TrayIconWaitsForATrayHostAndAClickOpensTheChat) {
    TempRoot root;
    start(XServer::Options{});
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
    // Clicked where it is until it answers: the tray places and embeds the icon in steps. No
    // two clicks make a double click, which would open the chat without a single click doing it.
    QGuiApplication::styleHints()->setMouseDoubleClickInterval(0);
    EXPECT_TRUE(waitUntil([&] {
        const QPoint at = tray->geometry().center();
        if (clicks == 0)
            x->run({"xdotool", "mousemove", std::to_string(at.x()), std::to_string(at.y()), "click",
                    "1"});
        return clicks > 0;
    }));
}

}  // namespace
}  // namespace tarvo::test
