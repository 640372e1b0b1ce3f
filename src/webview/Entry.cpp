#include <QApplication>

#include "webview/WebEngineManagerWindow.h"
#include "webview/WebViewLibrary.h"

namespace tarvo::webview {
namespace {

class WebEngineLibrary final : public Library {
  public:
    std::unique_ptr<QCoreApplication> createApplication(int& argc, char** argv) override {
        // Qt WebEngine shares OpenGL contexts with the widgets; this must be
        // set before the application object exists.
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        auto application = std::make_unique<QApplication>(argc, argv);
        // Closing the window quits through its delegate; an alert closing must not.
        QApplication::setQuitOnLastWindowClosed(false);
        return application;
    }

    std::shared_ptr<ManagerWindow> createWindow(WindowDelegate& delegate,
                                                const ManagerWindow::Options& options) override {
        return std::make_shared<WebEngineManagerWindow>(delegate, options);
    }
};

}  // namespace
}  // namespace tarvo::webview

// The library's one exported symbol. Null when the caller was built against
// another shape of the interface.
extern "C" __attribute__((visibility("default"))) tarvo::webview::Library* tarvo_webview_library(
    int revision) {
    if (revision != tarvo::webview::kInterfaceRevision) return nullptr;
    static tarvo::webview::WebEngineLibrary library;
    return &library;
}
