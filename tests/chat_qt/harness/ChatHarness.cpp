// Opens the chat window with a real ChatController against a local chat
// service, for screenshots. Not installed.
//
//   chat_harness --scene NAME [--screenshot FILE]
//        empty         no messages yet
//        conversation  two parents, and sent, failed and pending messages
//        toast         a long parent message arriving after the first poll
#include <QApplication>
#include <QScreen>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "chat/ChatController.h"
#include "chat/ChatService.h"
#include "chat/ChatTestServer.h"
#include "chat/qt/ChatToast.h"
#include "chat/qt/ChatWindow.h"
#include "core/Background.h"
#include "core/Paths.h"
#include "platform/fake/FakeUserSession.h"
#include "platform/qt/QtMainQueue.h"
#include "support/TestSupport.h"

using namespace tarvo;

namespace {

// Calls `then` once `done()` holds, checking every 50 ms; gives up after `ms`.
void when(std::function<bool()> done, std::function<void()> then, int ms = 10000) {
    auto* timer = new QTimer;
    auto left = std::make_shared<int>(ms / 50);
    QObject::connect(timer, &QTimer::timeout, [timer, done, then, left] {
        if (done() || --*left <= 0) {
            timer->stop();
            timer->deleteLater();
            then();
        }
    });
    timer->start(50);
}

}  // namespace

int main(int argc, char** argv) {
    struct {
        std::string scene, screenshot;
    } options;
    for (int i = 1; i + 1 < argc; i += 2)
        (std::string(argv[i]) == "--scene" ? options.scene : options.screenshot) = argv[i + 1];
    test::TempRoot root;  // history and log in a throw-away home
    QApplication app(argc, argv);
    platform::QtMainQueue queue;
    ThreadPoolBackground background(2);
    test::ChatTestServer server;

    const std::string resources = test::sourceDir() + "/resources";
    ChatWindow::Config config;
    config.username = "emma";
    config.resourcesDir = resources;
    config.log = TarvoLog("chat", Paths::agentLog());
    config.queue = &queue;
    auto window = std::make_shared<ChatWindow>(config);

    auto service = std::make_shared<ChatService>(server.url(), "DEV-1", "emma", config.log);
    auto session = std::make_shared<platform::FakeUserSession>();
    auto chat = ChatController::create(service, "emma", queue, background, nullptr, session);

    if (options.scene == "conversation" || options.scene == "toast") {
        server.setParents(options.scene == "conversation" ? std::vector<std::string>{"Mum", "Dad"}
                                                          : std::vector<std::string>{"Mum"});
        server.addMessage(1, "parent", "Hi sweetie! Did you finish your homework?", "Mum");
        server.addMessage(2, "child", "Almost, just the maths left");
        server.addMessage(3, "parent", "Great. Dinner is at 7, so half an hour more of games.",
                          options.scene == "conversation" ? "Dad" : "Mum");
    }
    chat->attachView(window);
    chat->startPolling();
    chat->startReadWatcher();

    auto shoot = [&] {
        if (!options.screenshot.empty()) {
            QScreen* screen = QGuiApplication::primaryScreen();
            screen->grabWindow(0).save(QString::fromStdString(options.screenshot));
        }
        queue.quit(0);
    };
    auto lastRowStatus = [&](const std::string& suffix) {
        const auto& rows = window->rows();
        return !rows.empty() && rows.back().statusLine.ends_with(suffix);
    };
    auto loaded = [&] { return chat->didInitialLoad(); };
    // Let the slide, the layout and the scrolling settle before a picture.
    auto settle = [&](std::function<void()> then) { QTimer::singleShot(700, then); };

    if (options.scene == "conversation") {
        window->open();
        when(loaded, [&] {
            window->setInputText("See you soon");
            window->sendTapped();
            when([&] { return lastRowStatus("✓✓"); },
                 [&] {
                     server.failSends(503);
                     window->setInputText("Can I have 30 more minutes?");
                     window->sendTapped();
                     when([&] { return lastRowStatus("retry"); },
                          [&] {
                              server.failSends(200);
                              server.holdSends(true);
                              window->setInputText("On my way!");
                              window->sendTapped();
                              settle(shoot);
                          });
                 });
        });
    } else if (options.scene == "toast") {
        when(loaded, [&] {
            server.addMessage(10, "parent",
                              "Time to wrap up the game, dinner is ready in five minutes. Please "
                              "wash your hands and come down, and bring the plates from your "
                              "room too.",
                              "Mum");
            chat->pollOnce();
            when([&] { return chatqt::ChatToast::shared() != nullptr; }, [&] { settle(shoot); });
        });
    } else {  // "empty"
        window->open();
        when(loaded, [&] { settle(shoot); });
    }

    const int code = queue.run();
    chatqt::ChatToast::discard();
    window.reset();
    return code;
}
