#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QThread>

#include "support/XServer.h"
#include "ui/AgentApplication.h"

namespace tarvo::test {

// Runs Qt's events until `done` holds or `timeout` of real time passed.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (QApplication::processEvents(); !done() && std::chrono::steady_clock::now() < deadline;
         QApplication::processEvents(QEventLoop::AllEvents, 20))
        QThread::msleep(10);
    return done();
}

inline void settleFor(std::chrono::milliseconds period) {
    waitUntil([] { return false; }, period);
}

// The window the window manager names active on `x`.
inline unsigned long activeWindow(const XServer& x) {
    return std::strtoul(x.run({"xdotool", "getactivewindow"}).c_str(), nullptr, 10);
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
