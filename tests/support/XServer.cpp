#include "support/XServer.h"

#include <unistd.h>

#include "core/Subprocess.h"
#include "support/TestSupport.h"

namespace tarvo::test {

using namespace std::chrono_literals;

XServer::XServer(Options options) {
    // Xvfb picks a free display, named on -displayfd; its stderr never fills a pipe.
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$@\" 2>/dev/null", "sh",
                                  "/usr/bin/Xvfb"};
    argv.insert(argv.end(), {"-displayfd", "1", "-nolisten", "tcp", "-noreset"});
    for (size_t i = 0; i < options.screens.size(); ++i)
        argv.insert(argv.end(), {"-screen", std::to_string(i), options.screens[i] + "x24"});
    xvfb_ = std::make_unique<Process>(Launch{.argv = argv});
    if (!xvfb_->waitForOutput("\n", 20s)) {
        error_ = "Xvfb did not report a display (is the xvfb package installed?)";
        return;
    }
    const std::string number = xvfb_->out().substr(0, xvfb_->out().find('\n'));
    display_ = ":" + number;
    for (size_t i = 0; options.windowManager && i < options.screens.size(); ++i) {
        // openbox runs its start-up command once it manages the screen.
        const std::string ready = "/tmp/tarvo-xserver-" + std::to_string(getpid()) + "-" + number +
                                  "." + std::to_string(i) + ".ready";
        ::unlink(ready.c_str());
        wms_.push_back(std::make_unique<Process>(
            Launch{.argv = {"/usr/bin/openbox", "--sm-disable", "--startup", "touch " + ready},
                   .env = environmentWith({"DISPLAY=" + screen(static_cast<int>(i))}),
                   .capture = false}));
        const bool started = polling::waitUntil([&] { return exists(ready); });
        ::unlink(ready.c_str());
        if (!started) {
            error_ = "openbox did not start on screen " + std::to_string(i);
            return;
        }
    }
}

bool XServer::startTrayHost() {
    if (!running()) return false;
    if (!tray_)
        tray_ = std::make_unique<Process>(Launch{
            .argv = {"/usr/bin/trayer", "--edge", "top", "--align", "right", "--widthtype",
                     "request", "--height", "24", "--SetDockType", "true", "--SetPartialStrut",
                     "true", "--transparent", "false", "--tint", "0x303030"},
            .env = environmentWith({"DISPLAY=" + screen(0)}),
            .capture = false});
    return polling::waitUntil([&] {
        return !run({"xdotool", "search", "--classname", "trayer"}).empty();
    });
}

std::string XServer::run(const std::vector<std::string>& argv, int screenIndex) const {
    std::vector<std::string> args{"/usr/bin/env", "DISPLAY=" + screen(screenIndex)};
    args.insert(args.end(), argv.begin(), argv.end());
    const ProcessResult r = test::run({.argv = args});
    return r.succeeded() ? r.out : "";
}

}  // namespace tarvo::test
