// The window from the web view library, driven in this process on a private
// X server with a window manager.
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <QWebEngineView>
#include <QWindow>
#include <atomic>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "app/ModuleLoader.h"
#include "support/LocalServer.h"
#include "support/TestSupport.h"
#include "support/XServer.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;
using Style = ManagerView::AlertStyle;

struct Recorder : webview::WindowDelegate {
    void pageFinished(const std::string& url) override { finished.push_back(url); }
    void navigationFailed(const std::string& d) override { failed.push_back(d); }
    void provisionalNavigationFailed(const std::string& d) override { unreachable.push_back(d); }
    void messageReceived(const std::optional<std::string>&) override {}
    void windowClosed() override { ++closed; }
    std::vector<std::string> finished, failed, unreachable;
    int closed = 0;
};

bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

// One X server, library and application for the whole test program: Qt
// WebEngine starts once per process.
class ManagerWindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
#if !defined(__SANITIZE_ADDRESS__)
        x_ = new XServer();
        if (!x_->running()) return;
        ::setenv("DISPLAY", x_->display().c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        if (::geteuid() == 0) ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
        const auto loaded =
            app::loadWebView(std::filesystem::path(tarvoBinary()).parent_path().string());
        library_ = loaded.library;
        loadError_ = loaded.error;
        if (!library_) return;
        static int argc = 1;
        static char name[] = "test_webview";
        static char* argv[] = {name, nullptr};
        app_ = library_->createApplication(argc, argv).release();
#endif
    }
    static void TearDownTestSuite() {
        delete app_;
        delete x_;
    }
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "Qt WebEngine in this process: LeakSanitizer reports the allocations it "
                        "keeps to the end (some in modules without symbols, which no suppression "
                        "can name); the sanitizer build runs the window in `tarvo manager` "
                        "children instead (ManagerProcess.*)";
#endif
        ASSERT_TRUE(x_->running()) << x_->error();
        ASSERT_NE(library_, nullptr) << loadError_;
        window = library_->createWindow(events, {});
        window->buildWindow();
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->windowTitle() == "Tarvo Manager" && !qobject_cast<QMessageBox*>(w)) widget = w;
        ASSERT_NE(widget, nullptr);
        view = widget->findChild<QWebEngineView*>();
        ASSERT_NE(view, nullptr);
    }

    Recorder events;
    std::shared_ptr<webview::ManagerWindow> window;
    QWidget* widget = nullptr;
    QWebEngineView* view = nullptr;
    static inline XServer* x_ = nullptr;
    static inline webview::Library* library_ = nullptr;
    static inline std::string loadError_;
    static inline QCoreApplication* app_ = nullptr;
};

TEST_F(ManagerWindowTest, CentredWithTheViewAsItsWholeContentAndModalAlerts) {
    ASSERT_TRUE(spinUntil([&] {
        return widget->windowHandle() && widget->windowHandle()->isExposed() &&
               widget->isActiveWindow();
    }));
    EXPECT_EQ(widget->size(), QSize(1100, 780));
    const QPoint offset =
        widget->frameGeometry().center() - widget->screen()->availableGeometry().center();
    // The title bar shifts the frame's centre by half its height at most.
    EXPECT_LE(std::abs(offset.x()), 4) << offset.x();
    EXPECT_LE(std::abs(offset.y()), 20) << offset.y();
    EXPECT_EQ(view->geometry(), widget->rect());
    widget->resize(300, 200);
    EXPECT_TRUE(spinUntil([&] { return widget->size() == QSize(800, 600); })) << widget->width();

    // An alert returns once the parent has pressed its one button.
    for (const auto& [style, icon] : {std::pair{Style::Warning, QMessageBox::Warning},
                                      {Style::Informational, QMessageBox::Information},
                                      {Style::Critical, QMessageBox::Critical}}) {
        QStringList seen;  // icon, texts, modality and buttons of the alert while it is up
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible()) return;
            poll.stop();
            seen << QString::number(box->icon()) << box->text() << box->informativeText()
                 << (box->isModal() ? "modal" : "modeless");
            for (QAbstractButton* b : box->buttons()) seen << b->text().remove('&');
            box->button(QMessageBox::Ok)->click();
        });
        poll.start(20);
        window->presentAlert("Setup complete", "Tarvo is now monitoring: emma", style);
        EXPECT_EQ(seen, (QStringList{QString::number(icon), "Setup complete",
                                     "Tarvo is now monitoring: emma", "modal", "OK"}));
    }
    // The window manager's close request reaches the owner.
    widget->close();
    EXPECT_EQ(events.closed, 1);
}

TEST_F(ManagerWindowTest, AnUnreachableOrUnansweredLoadFailsOnce) {
    window->load("http://127.0.0.1:" + std::to_string(deadPort()) + "/");
    EXPECT_TRUE(spinUntil([&] { return !events.unreachable.empty(); }));
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
    EXPECT_TRUE(spinUntil([&] { return events.unreachable.size() == 2; }));
    release = true;
    // The stopped load is not reported a second time.
    spinUntil([] { return false; }, 1s);
    EXPECT_EQ(events.unreachable, (std::vector<std::string>{"Could not connect to the server.",
                                                            "The request timed out."}));
    EXPECT_EQ(events.failed, std::vector<std::string>{});
    EXPECT_EQ(events.finished, std::vector<std::string>{});
}

}  // namespace
}  // namespace tarvo::test
