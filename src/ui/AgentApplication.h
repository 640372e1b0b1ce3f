#pragma once

#include <memory>
#include <string>
#include <vector>

class QApplication;

namespace tarvo::ui {

// The agent's Qt application. Every window it opens carries the WM_CLASS
// "app.tarvo.agent", and closing the last window does not end the process
// (the agent lives in the tray for the whole session). Needs a display.
// `platformArgs` are handed to Qt as command-line options ("-platform",
// "offscreen"); one application at a time.
std::unique_ptr<QApplication> makeAgentApplication(std::vector<std::string> platformArgs = {});

}  // namespace tarvo::ui
