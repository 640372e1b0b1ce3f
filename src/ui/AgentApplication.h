#pragma once

#include <memory>

class QApplication;

namespace tarvo::ui {

// The agent's Qt application. Every window it opens carries the WM_CLASS
// "app.tarvo.agent", and closing the last window does not end the process
// (the agent lives in the tray for the whole session). Needs a display.
std::unique_ptr<QApplication> makeAgentApplication();

}  // namespace tarvo::ui
