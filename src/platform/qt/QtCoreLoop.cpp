#include "platform/qt/QtCoreLoop.h"

#include <QCoreApplication>

namespace tarvo::platform {
namespace {
// QCoreApplication keeps references to argc and argv for its whole life.
int appArgc = 1;
char appName[] = "tarvo";
char* appArgv[] = {appName, nullptr};
}  // namespace

QtCoreLoop::QtCoreLoop()
    : app_(std::make_unique<QCoreApplication>(appArgc, appArgv)),
      queue_(std::make_unique<QtMainQueue>()) {}

QtCoreLoop::~QtCoreLoop() {
    queue_.reset();
    app_.reset();
}

}  // namespace tarvo::platform
