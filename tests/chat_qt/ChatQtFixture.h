#pragma once

#include "chat/ChatController.h"
#include "chat/ChatTestServer.h"
#include "chat/qt/ChatToast.h"
#include "chat/qt/ChatWindow.h"
#include "core/Paths.h"
#include "platform/fake/FakeUserSession.h"
#include "support/VirtualTime.h"
#include "ui/UiFixture.h"

namespace tarvo::test {

// The chat window with a real conversation controller against a local chat
// service, on virtual time; network work runs when the test says so. One
// application for the whole program (Qt's animations stop for good with the
// first one): offscreen, or on a private X server with a window manager.
class ChatQtTest : public ::testing::Test {
  protected:
    explicit ChatQtTest(bool onX = false) {
        if (QApplication::instance()) return;
        if (!onX) {
            static OffscreenApp* app = new OffscreenApp();  // kept to the end
            (void)app;
            return;
        }
        x = std::make_unique<XServer>();
        display = std::make_unique<EnvGuard>("DISPLAY",
                                             x->display());  // for the window's own X connection
        app = ui::makeAgentApplication({"-platform", "xcb", "-display", x->display()});
    }
    ~ChatQtTest() override {
        // The toast is process-wide and its close timer lives on this test's queue.
        chatqt::ChatToast::discard();
        chat.reset();
        window.reset();
    }

    void start(const std::string& resources = sourceDir() + "/resources") {
        ChatWindow::Config c;
        c.username = "emma";
        c.resourcesDir = resources;
        c.log = TarvoLog("chat", Paths::agentLog());
        c.queue = &queue;
        window = std::make_shared<ChatWindow>(c);
        auto service =
            std::make_shared<ChatService>(server.url(), "DEV-1", "emma", std::nullopt, clock);
        chat = ChatController::create(service, "emma", queue, background, clock, session);
        chat->attachView(window);
        chat->startPolling();
        chat->startReadWatcher();
    }
    // Lets every queued network call run and its result land.
    void settle() {
        for (int i = 0; i < 5; ++i) {
            background.runAll();
            queue.runPending();
        }
        settleFor(std::chrono::milliseconds(20));
    }
    void pollNow() {
        chat->pollOnce();
        settle();
    }
    std::string log() const { return readText(Paths::agentLog()); }

    std::unique_ptr<XServer> x;
    std::unique_ptr<EnvGuard> display;
    std::unique_ptr<QApplication> app;
    TempRoot root;
    EnvGuard tz{"TZ", "UTC"};
    ChatTestServer server;
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    VirtualMainQueue queue{clock};
    ManualBackground background;
    std::shared_ptr<platform::FakeUserSession> session =
        std::make_shared<platform::FakeUserSession>();
    std::shared_ptr<ChatWindow> window;
    std::shared_ptr<ChatController> chat;
};

}  // namespace tarvo::test
