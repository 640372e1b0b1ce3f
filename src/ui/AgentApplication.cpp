#include "ui/AgentApplication.h"

#include <QApplication>

#include "ui/UiStyle.h"

namespace tarvo::ui {
namespace {
// QApplication keeps references to argc and argv for its whole life. "-name"
// sets the WM_CLASS instance; the application name sets its class.
int appArgc = 3;
char arg0[] = "tarvo";
char arg1[] = "-name";
char arg2[] = "app.tarvo.agent";
char* appArgv[] = {arg0, arg1, arg2, nullptr};
}  // namespace

std::unique_ptr<QApplication> makeAgentApplication() {
    appArgc = 3;
    auto app = std::make_unique<QApplication>(appArgc, appArgv);
    QApplication::setApplicationName(kWindowClass);
    QApplication::setQuitOnLastWindowClosed(false);
    return app;
}

}  // namespace tarvo::ui
