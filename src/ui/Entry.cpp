#include <QApplication>

#include "chat/qt/ChatWindow.h"
#include "core/Paths.h"
#include "core/TarvoLog.h"
#include "platform/x11/LinuxWorkspace.h"
#include "platform/x11/X11Display.h"
#include "ui/AgentApplication.h"
#include "ui/AgentWindowsLibrary.h"
#include "ui/QtAgentViews.h"

namespace tarvo::ui {
namespace {

class QtWindowsLibrary final : public WindowsLibrary {
  public:
    bool displayReachable() override { return platform::x11DisplayReachable(); }

    std::shared_ptr<platform::Workspace> createWorkspace() override {
        return std::make_shared<platform::LinuxWorkspace>();
    }

    std::optional<double> idleSeconds() override { return platform::x11IdleSeconds(); }

    std::unique_ptr<QCoreApplication> createApplication() override {
        return makeAgentApplication();
    }

    std::shared_ptr<AgentViews> createViews(MainQueue& queue,
                                            std::shared_ptr<platform::UserSession> session,
                                            const std::string& resourcesDir) override {
        // One chat window for the session, made when the chat starts.
        return std::make_shared<QtAgentViews>(queue, session, [&queue, session, resourcesDir] {
            ChatWindow::Config config;
            config.username = session->userName();
            config.resourcesDir = resourcesDir;
            config.log = TarvoLog("chat", Paths::agentLog());
            config.queue = &queue;
            return std::shared_ptr<ChatView>(std::make_shared<ChatWindow>(config));
        });
    }
};

}  // namespace
}  // namespace tarvo::ui

// The library's one exported symbol. Null when the caller was built against
// another shape of the interface.
extern "C" __attribute__((visibility("default"))) tarvo::ui::WindowsLibrary* tarvo_windows_library(
    int revision) {
    if (revision != tarvo::ui::kWindowsInterfaceRevision) return nullptr;
    static tarvo::ui::QtWindowsLibrary library;
    return &library;
}
