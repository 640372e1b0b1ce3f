#pragma once

#include <memory>

#include "platform/qt/QtMainQueue.h"

class QCoreApplication;

namespace tarvo::platform {

// A GUI-less Qt event loop for a role that needs only timers, signals and
// posted work (the daemon): the application object and the main queue on it.
class QtCoreLoop {
  public:
    QtCoreLoop();
    ~QtCoreLoop();
    QtCoreLoop(const QtCoreLoop&) = delete;
    QtCoreLoop& operator=(const QtCoreLoop&) = delete;

    QtMainQueue& queue() { return *queue_; }

  private:
    std::unique_ptr<QCoreApplication> app_;
    std::unique_ptr<QtMainQueue> queue_;
};

}  // namespace tarvo::platform
