#pragma once

#include <QObject>

#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "core/MainQueue.h"

class QTimer;
class QSocketNotifier;

namespace tarvo::platform {

// The main queue on Qt's event loop. A QCoreApplication (or QApplication) must
// exist before construction, on the thread that will run the loop. Signals
// arrive through a self-pipe and are handled on the main thread.
class QtMainQueue : public QObject, public MainQueue {
    Q_OBJECT
  public:
    QtMainQueue();
    ~QtMainQueue() override;

    void post(Task task) override;
    TimerId postDelayed(Millis delay, Task task) override;
    TimerId startRepeating(Millis interval, Task task,
                           std::optional<Millis> firstDelay = std::nullopt) override;
    void cancel(TimerId id) override;
    void onSignal(int signo, Task handler) override;
    int run() override;
    void quit(int exitCode = 0) override;

  private:
    TimerId addTimer(Millis firstDelay, Millis interval, Task task);
    void onMainThread(Task task);
    void readSignals();
    // Runs, on the main thread, the posted tasks waiting now.
    Q_INVOKABLE void runPosted();

    std::mutex idMutex_;
    // Posted tasks wait here, under their own lock, rather than inside Qt's
    // events: a task is handed over, run and ended by code the thread
    // checkers can follow, and ends on the main thread whoever posted it.
    std::mutex postedMutex_;
    std::deque<Task> posted_;
    TimerId nextId_ = 1;
    std::map<TimerId, QTimer*> timers_;   // main thread only
    std::map<int, Task> signalHandlers_;  // main thread only
    QSocketNotifier* signalNotifier_ = nullptr;
};

}  // namespace tarvo::platform
