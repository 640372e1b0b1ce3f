// The window from the web view library, driven in this process on a private
// X server with a window manager.

#include <QAbstractButton>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <QWebEngineView>
#include <QWindow>
#include <atomic>

#include "app/ModuleLoader.h"
#include "support/LocalServer.h"
#include "ui/UiFixture.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;
using Style = ManagerView::AlertStyle;

// What the window told its owner, in order.
struct Recorder : webview::WindowDelegate {
    void pageFinished(const std::string& url) override { events.push_back("finished " + url); }
    void navigationFailed(const std::string& d) override { events.push_back("failed: " + d); }
    void provisionalNavigationFailed(const std::string& d) override { events.push_back(d); }
    void messageReceived(const std::optional<std::string>&, const std::string&) override {}
    void windowClosed() override { events.push_back("closed"); }
    std::vector<std::string> events;
};

// Qt WebEngine starts once per process: one test walks through the window.
TEST(ManagerWindow, CentredModalAlertsAndLoadsThatFailOnce) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "LeakSanitizer cannot tell Qt WebEngine's kept allocations in this "
                    "process; the sanitizer build runs the window in `tarvo manager` instead";
#endif
    XServer x;
    ASSERT_TRUE(x.running()) << x.error();
    EnvGuard display("DISPLAY", x.display()), platform("QT_QPA_PLATFORM", "xcb");
    if (::geteuid() == 0) ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
    const auto loaded =
        app::loadWebView(std::filesystem::path(tarvoBinary()).parent_path().string());
    ASSERT_NE(loaded.library, nullptr) << loaded.error;
    int argc = 1;
    char name[] = "test_webview";
    char* argv[] = {name, nullptr};
    const auto app = loaded.library->createApplication(argc, argv);
    Recorder events;
    const auto window = loaded.library->createWindow(events, {});
    window->buildWindow();
    QWidget* widget = nullptr;  // shown, exposed and active
    ASSERT_TRUE(waitUntil([&] {
        return (widget = QApplication::activeWindow()) && widget->windowHandle()->isExposed();
    }));
    EXPECT_EQ(widget->windowTitle(), "Tarvo Manager");
    EXPECT_EQ(widget->size(), QSize(1100, 780));
    const QPoint offset =
        widget->frameGeometry().center() - widget->screen()->availableGeometry().center();
    // The title bar shifts the frame's centre by half its height at most.
    EXPECT_LE(std::abs(offset.x()), 4) << offset.x();
    EXPECT_LE(std::abs(offset.y()), 20) << offset.y();
    EXPECT_EQ(widget->findChild<QWebEngineView*>()->geometry(), widget->rect());
    widget->resize(300, 200);
    EXPECT_TRUE(waitUntil([&] { return widget->size() == QSize(800, 600); })) << widget->width();

    // An alert returns at once, with no event loop of its own; its completion runs once the
    // parent has pressed its one button.
    for (const auto& [style, icon] : {std::pair{Style::Warning, QMessageBox::Warning},
                                      {Style::Informational, QMessageBox::Information},
                                      {Style::Critical, QMessageBox::Critical}}) {
        bool returned = false, nested = false;
        int dismissed = 0;
        QTimer::singleShot(0, [&] {
            nested = !returned;  // the event loop ran inside the call
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                if (nested) box->button(QMessageBox::Ok)->click();
        });
        window->presentAlert("Setup complete", "Tarvo is now monitoring: emma", style,
                             [&] { ++dismissed; });
        returned = true;
        QMessageBox* box = nullptr;
        ASSERT_TRUE(waitUntil([&] {
            box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            return box && box->isVisible();
        }));
        EXPECT_FALSE(nested);
        QStringList seen{QString::number(box->icon()), box->text(), box->informativeText(),
                         box->isModal() ? "modal" : "modeless"};
        for (QAbstractButton* b : box->buttons()) seen << b->text().remove('&');
        EXPECT_EQ(seen, (QStringList{QString::number(icon), "Setup complete",
                                     "Tarvo is now monitoring: emma", "modal", "OK"}));
        EXPECT_EQ(dismissed, 0);
        box->button(QMessageBox::Ok)->click();
        EXPECT_TRUE(waitUntil([&] { return !QApplication::activeModalWidget(); }));
        EXPECT_EQ(dismissed, 1);
    }
    // The window manager's close request reaches the owner.
    widget->close();
    EXPECT_EQ(events.events, std::vector<std::string>{"closed"});

    window->load("http://127.0.0.1:" + std::to_string(deadPort()) + "/");
    EXPECT_TRUE(waitUntil([&] { return events.events.size() == 2; }));
    LocalServer server;
    std::atomic<bool> release{false};
    server.server.Get("/Signin", [&](const httplib::Request&, httplib::Response& res) {
        for (int i = 0; i < 400 && !release; ++i) std::this_thread::sleep_for(25ms);
        res.set_content("<html>late</html>", "text/html");
    });
    server.start();
    window->load(server.url() + "/Signin");
    // The load's idle time-out: a minute, shortened here.
    auto timers = widget->findChildren<QTimer*>(Qt::FindDirectChildrenOnly);
    ASSERT_EQ(timers.size(), 1);
    EXPECT_TRUE(timers[0]->isActive());
    EXPECT_EQ(timers[0]->interval(), 60000);
    timers[0]->start(500);
    EXPECT_TRUE(waitUntil([&] { return events.events.size() == 3; }));
    release = true;
    settleFor(1s);  // the stopped load is not reported a second time
    EXPECT_EQ(events.events, (std::vector<std::string>{"closed", "Could not connect to the server.",
                                                       "The request timed out."}));
}

}  // namespace
}  // namespace tarvo::test
