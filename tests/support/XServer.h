#pragma once

#include <memory>

#include "support/Processes.h"

namespace tarvo::test {

// A private X server (Xvfb) for stacking, focus, exposure and several screens: one X screen
// (":N.0", ":N.1", …, each a QScreen, the first primary) per "WxH", with openbox on each unless
// told otherwise: it keeps stay-on-top, focus stealing prevention and close requests as a desktop.
class XServer {
  public:
    struct Options {
        std::vector<std::string> screens{"1280x800"};
        bool windowManager = true;
    };

    XServer() : XServer(Options{}) {}
    explicit XServer(Options options) {
        // Xvfb picks a free display, named on -displayfd; its stderr never fills a pipe.
        std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$@\" 2>/dev/null", "sh",
                                      "/usr/bin/Xvfb"};
        argv.insert(argv.end(), {"-displayfd", "1", "-nolisten", "tcp", "-noreset"});
        for (size_t i = 0; i < options.screens.size(); ++i)
            argv.insert(argv.end(), {"-screen", std::to_string(i), options.screens[i] + "x24"});
        xvfb_ = std::make_unique<Process>(Launch{.argv = argv});
        if (!xvfb_->waitForOutput("\n", std::chrono::seconds(20))) {
            error_ = "Xvfb did not report a display (is the xvfb package installed?)";
            return;
        }
        display_ = ":" + xvfb_->out().substr(0, xvfb_->out().find('\n'));
        for (int i = 0; options.windowManager && i < int(options.screens.size()); ++i) {
            // openbox runs its start-up command once it manages the screen.
            const std::string ready =
                "/tmp/tarvo-xserver-" + std::to_string(getpid()) + "-" + screen(i) + ".ready";
            wms_.push_back(std::make_unique<Process>(
                Launch{.argv = {"/usr/bin/openbox", "--sm-disable", "--startup", "touch " + ready},
                       .env = environmentWith({"DISPLAY=" + screen(i)}),
                       .capture = false}));
            const bool started = polling::waitUntil([&] { return exists(ready); });
            ::unlink(ready.c_str());
            if (!started) {
                error_ = "openbox did not start on screen " + std::to_string(i);
                return;
            }
        }
    }

    // False when Xvfb could not be started (the reason is in error()).
    bool running() const { return !display_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& display() const { return display_; }  // ":N", its first screen
    std::string screen(int index) const { return display_ + "." + std::to_string(index); }

    // Starts trayer, a system tray, on the first screen; false when it did not come up.
    bool startTrayHost() {
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
    // Runs a command found on PATH on screen `screenIndex`: its output, "" when it failed.
    std::string run(const std::vector<std::string>& argv, int screenIndex = 0) const {
        std::vector<std::string> args{"/usr/bin/env", "DISPLAY=" + screen(screenIndex)};
        args.insert(args.end(), argv.begin(), argv.end());
        const ProcessResult r = test::run({.argv = args});
        return r.succeeded() ? r.out : "";
    }

  private:
    std::unique_ptr<Process> xvfb_;
    std::vector<std::unique_ptr<Process>> wms_;
    std::unique_ptr<Process> tray_;
    std::string display_;
    std::string error_;
};

}  // namespace tarvo::test
