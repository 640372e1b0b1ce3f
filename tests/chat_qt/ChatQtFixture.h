#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>

#include "chat/ChatController.h"
#include "chat/ChatTestServer.h"
#include "chat/qt/ChatToast.h"
#include "chat/qt/ChatWindow.h"
#include "core/Paths.h"
#include "core/VirtualTime.h"
#include "platform/fake/FakeUserSession.h"
#include "support/TestSupport.h"

namespace tarvo::test {

// One QApplication for the whole test program; offscreen unless the runner
// chose a platform.
inline void ensureApplication() {
    if (QApplication::instance()) return;
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "test_chat_qt";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    (void)app;
}

// Runs Qt's events (animations, layouts, deferred scrolling) until `done()`
// holds or `ms` of real time passed; true when it held.
inline bool pumpUntil(const std::function<bool()>& done, int ms = 3000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

inline void pump(int ms = 50) {
    pumpUntil([] { return false; }, ms);
}

// The chat window with a real conversation controller against a local chat
// service, on virtual time; network work runs when the test says so.
class ChatQtTest : public ::testing::Test {
  protected:
    ChatQtTest() { ensureApplication(); }
    ~ChatQtTest() override {
        // The toast is process-wide and its close timer lives on this test's queue.
        chatqt::ChatToast::discard();
        chat.reset();
        window.reset();
    }

    ChatWindow::Config config(const std::string& resources) {
        ChatWindow::Config c;
        c.username = "emma";
        c.resourcesDir = resources;
        c.log = TarvoLog("chat", Paths::agentLog());
        c.queue = &queue;
        return c;
    }

    void start(const std::string& resources = sourceDir() + "/resources") {
        window = std::make_shared<ChatWindow>(config(resources));
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
        pump(20);
    }
    void pollNow() {
        chat->pollOnce();
        settle();
    }
    std::string log() const { return readText(Paths::agentLog()); }

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
