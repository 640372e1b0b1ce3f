#include "ui/AgentApplication.h"

#include <QApplication>

#include "ui/UiStyle.h"

namespace tarvo::ui {
namespace {
// QApplication keeps references to argc and argv for its whole life.
int appArgc = 0;
std::vector<std::string> appArgs;
std::vector<char*> appArgv;
}  // namespace

std::unique_ptr<QApplication> makeAgentApplication(std::vector<std::string> platformArgs) {
    // "-name" sets the WM_CLASS instance; the application name sets its class.
    appArgs = {"tarvo", "-name", kWindowClass};
    appArgs.insert(appArgs.end(), platformArgs.begin(), platformArgs.end());
    appArgv.clear();
    for (auto& a : appArgs) appArgv.push_back(a.data());
    appArgv.push_back(nullptr);
    appArgc = static_cast<int>(appArgs.size());
    auto app = std::make_unique<QApplication>(appArgc, appArgv.data());
    QApplication::setApplicationName(kWindowClass);
    QApplication::setQuitOnLastWindowClosed(false);
    return app;
}

}  // namespace tarvo::ui
