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

#include "chat/ChatController.h"
#include "chat/ChatTestServer.h"
#include "chat/qt/ChatToast.h"
#include "chat/qt/ChatWindow.h"
#include "core/Background.h"
#include "core/Paths.h"
#include "platform/fake/FakeUserSession.h"
#include "platform/qt/QtMainQueue.h"
#include "support/TestSupport.h"

using namespace tarvo;

// Calls `then` once `done()` holds, checking every 50 ms; gives up after 10 s.
void when(std::function<bool()> done, std::function<void()> then) {
    auto* timer = new QTimer;
    auto left = std::make_shared<int>(200);
    QObject::connect(timer, &QTimer::timeout, [timer, done, then, left] {
        if (!done() && --*left > 0) return;
        timer->stop();
        timer->deleteLater();
        then();
    });
    timer->start(50);
}

int main(int argc, char** argv) {
    std::string scene, screenshot;
    for (int i = 1; i + 1 < argc; i += 2)
        (std::string(argv[i]) == "--scene" ? scene : screenshot) = argv[i + 1];
    test::TempRoot root;  // history and log in a throw-away home
    QApplication app(argc, argv);
    platform::QtMainQueue queue;
    ThreadPoolBackground background(2);
    test::ChatTestServer server;
    ChatWindow::Config config;
    config.username = "emma";
    config.resourcesDir = test::sourceDir() + "/resources";
    config.log = TarvoLog("chat", Paths::agentLog());
    config.queue = &queue;
    auto window = std::make_shared<ChatWindow>(config);
    auto service = std::make_shared<ChatService>(server.url(), "DEV-1", "emma", config.log);
    auto chat = ChatController::create(service, "emma", queue, background, nullptr,
                                       std::make_shared<platform::FakeUserSession>());
    const bool two = scene == "conversation";
    if (scene != "empty") {
        server.setParents(two ? std::vector<std::string>{"Mum", "Dad"}
                              : std::vector<std::string>{"Mum"});
        server.addMessage(1, "parent", "Hi sweetie! Did you finish your homework?", "Mum");
        server.addMessage(2, "child", "Almost, just the maths left");
        server.addMessage(3, "parent", "Great. Dinner is at 7, so half an hour more of games.",
                          two ? "Dad" : "Mum");
    }
    chat->attachView(window);
    chat->startPolling();
    chat->startReadWatcher();

    // The picture once the slide, the layout and the scrolling settled.
    auto shoot = [&] {
        QTimer::singleShot(700, [&] {
            if (!screenshot.empty())
                QGuiApplication::primaryScreen()->grabWindow(0).save(
                    QString::fromStdString(screenshot));
            queue.quit(0);
        });
    };
    auto send = [&](const char* text) {
        window->setInputText(text);
        window->sendTapped();
    };
    auto lastStatusEndsWith = [&](std::string suffix) {
        return [&window, suffix] {
            return !window->rows().empty() && window->rows().back().statusLine.ends_with(suffix);
        };
    };
    auto loaded = [&] { return chat->didInitialLoad(); };
    if (scene == "toast") {
        when(loaded, [&] {
            server.addMessage(10, "parent",
                              "Time to wrap up the game, dinner is ready in five minutes. Please "
                              "wash your hands and come down.",
                              "Mum");
            chat->pollOnce();
            when([] { return chatqt::ChatToast::shared() != nullptr; }, shoot);
        });
    } else {
        window->open();
        when(loaded, [&] {
            if (!two) return shoot();
            send("See you soon");
            when(lastStatusEndsWith("✓✓"), [&] {
                server.failSends(503);
                send("Can I have 30 more minutes?");
                when(lastStatusEndsWith("retry"), [&] {
                    server.failSends(200);
                    server.holdSends(true);
                    send("On my way!");
                    shoot();
                });
            });
        });
    }

    const int code = queue.run();
    chatqt::ChatToast::discard();
    window.reset();
    return code;
}
