#include <unistd.h>

#include <QCoreApplication>
#include <cstdlib>
#include <ostream>

#include "app/ModuleLoader.h"
#include "app/Roles.h"
#include "core/Background.h"
#include "core/Paths.h"
#include "core/TarvoLog.h"
#include "manager/ManagerController.h"
#include "platform/qt/QtMainQueue.h"
#include "server/ServerClient.h"

namespace tarvo::app {
namespace {

// What the window reports, handed to the controller on the main thread.
class WindowEvents : public webview::WindowDelegate {
  public:
    WindowEvents(ManagerController& controller, MainQueue& queue)
        : controller_(controller), queue_(queue) {}
    void pageFinished(const std::string& url) override { controller_.pageFinished(url); }
    void navigationFailed(const std::string& description) override {
        controller_.navigationFailed(description);
    }
    void provisionalNavigationFailed(const std::string& description) override {
        controller_.provisionalNavigationFailed(description);
    }
    void messageReceived(const std::optional<std::string>& body,
                         const std::string& pageUrl) override {
        controller_.handleMessage(body, pageUrl);
    }
    // On the Mac the application outlives its closed window and is quit from
    // the menu bar; here nothing could quit a windowless process, so closing
    // the window ends it.
    void windowClosed() override { queue_.quit(0); }

  private:
    ManagerController& controller_;
    MainQueue& queue_;
};

}  // namespace

int runManager(const RoleContext& context, const Invocation& inv) {
    const TarvoLog log("manager", Paths::managerLog());
    const LoadedWebView webView = loadWebView(moduleDirectory());
    if (!webView.library) {
        log.error(webView.error);
        inv.err << "tarvo: " << webView.error << "\n" << std::flush;
        return 1;
    }
    // Chromium refuses to start its sandbox as root.
    if (::geteuid() == 0) {
        ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
        log.warn("running as root — the web view starts without its sandbox");
    }
    int argc = 1;
    char name[] = "tarvo";
    char* argv[] = {name, nullptr};
    const std::unique_ptr<QCoreApplication> application =
        webView.library->createApplication(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tarvo Manager"));

    platform::QtMainQueue queue;
    // The two service conversations; destroyed (and joined) before the queue
    // their results are posted to.
    ThreadPoolBackground background(2);
    ServerClient::Options server;
    server.clock = context.clock;
    server.hardware = context.hardware;
    server.host = context.host;
    const auto controller = ManagerController::create(
        ServerClient::create(std::move(server)), queue, background, context.accountDirectory());
    WindowEvents events(*controller, queue);
    std::shared_ptr<webview::ManagerWindow> window =
        webView.library->createWindow(events, webview::ManagerWindow::Options{});
    controller->attachView(window);
    window->buildWindow();
    controller->loadSignIn();
    queue.run();
    // The page goes before the application object.
    window.reset();
    return 0;
}

}  // namespace tarvo::app
