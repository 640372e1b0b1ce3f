// Opens the chat window with a real ChatController against a local chat
// service, for trying the window by hand, for screenshots, and for the window
// tests under a private X server. Not installed.
//
//   chat_harness                        a conversation; a parent writes every 20 s
//   chat_harness --scene NAME --screenshot FILE
//        empty         no messages yet
//        conversation  two parents, and sent, failed and pending messages
//        toast         a long parent message arriving after the first poll
//   chat_harness --control              commands on standard input, one a line
//        open | hide | minimise | cover | uncover | state | ids | toastinfo |
//        toast SENDER|BODY | notice SENDER|BODY | quit
//        Every command answers one line; a toast's reply prints "replied".
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>
#include <QWindow>
#include <cstdio>
#include <functional>
#include <iostream>
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

struct Options {
    std::string scene;
    std::string screenshot;
    bool control = false;
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--scene" && i + 1 < argc)
            o.scene = argv[++i];
        else if (a == "--screenshot" && i + 1 < argc)
            o.screenshot = argv[++i];
        else if (a == "--control")
            o.control = true;
        else {
            std::cerr << "usage: chat_harness [--scene empty|conversation|toast] "
                         "[--screenshot FILE] [--control]\n";
            std::exit(2);
        }
    }
    return o;
}

void say(const std::string& line) {
    std::cout << line << std::endl;  // flushed: the tests read line by line
}

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

std::string hex(WId id) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(id));
    return buf;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
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

    if (options.scene == "conversation" || options.scene == "toast" || options.scene.empty()) {
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

    std::unique_ptr<QWidget> cover;
    std::unique_ptr<QSocketNotifier> stdinNotifier;
    std::string pending;

    if (options.control) {
        stdinNotifier = std::make_unique<QSocketNotifier>(0, QSocketNotifier::Read);
        QObject::connect(stdinNotifier.get(), &QSocketNotifier::activated, [&] {
            char buf[4096];
            const ssize_t n = ::read(0, buf, sizeof buf);
            if (n <= 0) {
                queue.quit(0);
                return;
            }
            pending.append(buf, size_t(n));
            size_t eol;
            while ((eol = pending.find('\n')) != std::string::npos) {
                const std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 1);
                const std::string cmd = line.substr(0, line.find(' '));
                const std::string arg = line.size() > cmd.size() ? line.substr(cmd.size() + 1) : "";
                QWidget* w = window->window();
                if (cmd == "open") {
                    window->open();
                    say("ok");
                } else if (cmd == "hide") {
                    w->close();
                    say("ok");
                } else if (cmd == "minimise") {
                    w->showMinimized();
                    say("ok");
                } else if (cmd == "cover") {
                    cover = std::make_unique<QWidget>();
                    cover->setWindowTitle("Cover");
                    cover->setGeometry(w->frameGeometry().adjusted(-40, -60, 40, 40));
                    cover->show();
                    cover->raise();
                    cover->activateWindow();
                    say("ok");
                } else if (cmd == "uncover") {
                    cover.reset();
                    window->open();
                    say("ok");
                } else if (cmd == "state") {
                    const ChatWindowState s = window->windowState();
                    say("state active=" + std::to_string(s.applicationActive) + " visible=" +
                        std::to_string(s.visible) + " minimised=" + std::to_string(s.miniaturised) +
                        " unobscured=" + std::to_string(s.unobscured) +
                        " seen=" + std::to_string(s.seen()));
                } else if (cmd == "ids") {
                    auto* toast = chatqt::ChatToast::shared();
                    say("ids chat=" + hex(w->winId()) + " toast=" +
                        (toast && toast->window() ? hex(toast->window()->winId()) : "0"));
                } else if (cmd == "toastinfo") {
                    auto* toast = chatqt::ChatToast::shared();
                    if (!toast || !toast->window()) {
                        say("toast none");
                    } else {
                        const QRect g = toast->window()->geometry();
                        say("toast " + std::to_string(g.x()) + " " + std::to_string(g.y()) + " " +
                            std::to_string(g.width()) + " " + std::to_string(g.height()));
                    }
                } else if (cmd == "toast" || cmd == "notice") {
                    // "notice" replies without opening the chat, so that the
                    // focus after a click is the toast's doing alone.
                    const bool opens = cmd == "toast";
                    const auto bar = arg.find('|');
                    window->presentToast(arg.substr(0, bar), arg.substr(bar + 1), [&, opens] {
                        say("replied");
                        if (opens) chat->openChat();
                    });
                    say("ok");
                } else if (cmd == "quit") {
                    queue.quit(0);
                } else {
                    say("unknown " + cmd);
                }
            }
        });
        say("ready");
    } else if (options.scene == "empty") {
        window->open();
        when(loaded, [&] { settle(shoot); });
    } else if (options.scene == "conversation") {
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
    } else {
        window->open();
        auto* parentTimer = new QTimer(&app);
        QObject::connect(parentTimer, &QTimer::timeout, [&] {
            static std::int64_t next = 100;
            server.addMessage(next, "parent", "Message number " + std::to_string(next), "Mum");
            ++next;
        });
        parentTimer->start(20000);
        std::cerr << "chat_harness: service at " << server.url() << ", log " << Paths::agentLog()
                  << "\n";
    }

    const int code = queue.run();
    chatqt::ChatToast::discard();
    cover.reset();
    window.reset();
    return code;
}
