// The chat window with a real ChatController against a local chat service, for
// screenshots (scripts/screenshots.d/chat.sh). Not installed.
//   chat_harness --scene empty|conversation|toast [--screenshot FILE]
// conversation: two parents, and sent, failed and pending messages; toast: a
// long parent message arriving after the first poll.
#include <QScreen>

#include "chat/ChatController.h"
#include "chat/ChatTestServer.h"
#include "chat/qt/ChatToast.h"
#include "chat/qt/ChatWindow.h"
#include "core/Background.h"
#include "platform/fake/FakeUserSession.h"
#include "platform/qt/QtMainQueue.h"
#include "ui/UiFixture.h"

using namespace tarvo;
using namespace std::chrono_literals;

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
    auto service = std::make_shared<ChatService>(server.service.url(), "DEV-1", "emma", config.log);
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
    if (scene != "toast") window->open();
    test::waitUntil([&] { return chat->didInitialLoad(); }, 10s);

    auto send = [&](const char* text, const std::string& statusEnd) {
        window->setInputText(text);
        window->sendTapped();
        test::waitUntil([&] { return window->rows().back().statusLine.ends_with(statusEnd); }, 10s);
    };
    if (two) {
        send("See you soon", "✓✓");
        server.sendStatus = 503;
        send("Can I have 30 more minutes?", "retry");
        server.sendStatus = 200;
        server.holdSends(true);
        send("On my way!", "sending…");
    } else if (scene == "toast") {
        server.addMessage(10, "parent",
                          "Time to wrap up the game, dinner is ready in five minutes. Please wash "
                          "your hands and come down.",
                          "Mum");
        chat->pollOnce();
        test::waitUntil([] { return chatqt::ChatToast::shared() != nullptr; }, 10s);
    }
    test::settleFor(700ms);  // the slide, the layout and the scrolling
    if (!screenshot.empty())
        QGuiApplication::primaryScreen()->grabWindow(0).save(QString::fromStdString(screenshot));
    chatqt::ChatToast::discard();
    window.reset();
    return 0;
}
