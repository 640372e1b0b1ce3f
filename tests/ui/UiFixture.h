#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QRect>
#include <QThread>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "support/XServer.h"
#include "ui/AgentApplication.h"

namespace tarvo::test {

// The agent's application on the offscreen platform with the given screens
// (the first one primary), whatever QT_QPA_PLATFORM says.
class OffscreenApp {
  public:
    explicit OffscreenApp(std::vector<QRect> screens = {QRect(0, 0, 1280, 800)}) {
        QStringList list;
        for (const QRect& r : screens)
            list << QString::asprintf(R"({"name": "s%lld", "x": %d, "y": %d, "width": %d,
                "height": %d, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1})",
                                      static_cast<long long>(list.size()), r.x(), r.y(), r.width(),
                                      r.height());
        writeText(dir_ / "screens.json",
                  R"({"synchronousWindowSystemEvents": true, "windowFrameMargins": false, )"
                  R"("screens": [)" +
                      list.join(",").toStdString() + "]}");
        app_ = ui::makeAgentApplication(
            {"-platform", "offscreen:configfile=" + (dir_ / "screens.json")});
    }

  private:
    TempDir dir_;
    std::unique_ptr<QApplication> app_;
};

// Runs Qt's events until `done` holds or `timeout` of real time passed.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeout.count()) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        if (done()) return true;
        QThread::msleep(10);
    }
    QApplication::processEvents();
    return done();
}

inline void settleFor(std::chrono::milliseconds period) {
    waitUntil([] { return false; }, period);
}

// Where the X server has window `id`: its absolute origin and its size.
inline QRect serverGeometry(const XServer& x, unsigned long id) {
    const std::string out = x.run({"xwininfo", "-id", std::to_string(id)});
    auto field = [&](const std::string& name) {
        const auto at = out.find(name);
        return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + name.size());
    };
    return QRect(field("Absolute upper-left X:"), field("Absolute upper-left Y:"), field("Width:"),
                 field("Height:"));
}

}  // namespace tarvo::test
