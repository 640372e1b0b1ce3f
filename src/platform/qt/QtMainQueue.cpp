#include "platform/qt/QtMainQueue.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

namespace tarvo::platform {
namespace {

int signalPipe[2] = {-1, -1};

extern "C" void forwardSignal(int signo) {
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(signo);
    if (signalPipe[1] >= 0) {
        ssize_t n = ::write(signalPipe[1], &byte, 1);
        (void)n;
    }
    errno = saved;
}

}  // namespace

QtMainQueue::QtMainQueue() {
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        // The pipe lives for the whole process: handlers may fire at any time.
    }
    if (signalPipe[0] >= 0) {
        signalNotifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
        connect(signalNotifier_, &QSocketNotifier::activated, this, [this] { readSignals(); });
    }
}

QtMainQueue::~QtMainQueue() {
    for (auto& [id, timer] : timers_) delete timer;
}

void QtMainQueue::onMainThread(Task task) {
    if (QThread::currentThread() == thread())
        task();
    else
        post(std::move(task));
}

void QtMainQueue::post(Task task) {
    bool first = false;
    {
        std::lock_guard lock(postedMutex_);
        first = posted_.empty();
        posted_.push_back(std::move(task));
    }
    // One queued call runs every task posted before it; a task posted while
    // those run waits for the next call.
    if (first) QMetaObject::invokeMethod(this, "runPosted", Qt::QueuedConnection);
}

void QtMainQueue::runPosted() {
    std::deque<Task> tasks;
    {
        std::lock_guard lock(postedMutex_);
        tasks.swap(posted_);
    }
    while (!tasks.empty()) {
        // Each task ends before the next runs, as it would with an event each.
        Task task = std::move(tasks.front());
        tasks.pop_front();
        task();
    }
}

MainQueue::TimerId QtMainQueue::addTimer(Millis firstDelay, Millis interval, Task task) {
    TimerId id;
    {
        std::lock_guard lock(idMutex_);
        id = nextId_++;
    }
    onMainThread([this, id, firstDelay, interval, task = std::move(task)]() mutable {
        auto* timer = new QTimer(this);
        // Coarse timers may fire up to 5 % early; every interval here is a
        // promise ("restarted 2 s after an exit"), so never early.
        timer->setTimerType(Qt::PreciseTimer);
        timers_[id] = timer;
        const bool repeating = interval.count() > 0;
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, id, timer, repeating, interval, task] {
            if (repeating) {
                // After the first shot the timer keeps the plain interval.
                if (timer->isSingleShot()) {
                    timer->setSingleShot(false);
                    timer->start(static_cast<int>(interval.count()));
                }
            } else {
                timers_.erase(id);
                timer->deleteLater();
            }
            task();
        });
        timer->start(static_cast<int>(std::max<long long>(firstDelay.count(), 0)));
    });
    return id;
}

MainQueue::TimerId QtMainQueue::postDelayed(Millis delay, Task task) {
    return addTimer(delay, Millis(0), std::move(task));
}

MainQueue::TimerId QtMainQueue::startRepeating(Millis interval, Task task,
                                               std::optional<Millis> firstDelay) {
    if (interval.count() <= 0) interval = Millis(1);
    return addTimer(firstDelay.value_or(interval), interval, std::move(task));
}

void QtMainQueue::cancel(TimerId id) {
    onMainThread([this, id] {
        auto it = timers_.find(id);
        if (it == timers_.end()) return;
        it->second->stop();
        it->second->deleteLater();
        timers_.erase(it);
    });
}

void QtMainQueue::onSignal(int signo, Task handler) {
    signalHandlers_[signo] = std::move(handler);
    struct sigaction sa {};
    sa.sa_handler = forwardSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(signo, &sa, nullptr);
}

void QtMainQueue::readSignals() {
    unsigned char byte;
    while (::read(signalPipe[0], &byte, 1) == 1) {
        auto it = signalHandlers_.find(byte);
        if (it != signalHandlers_.end()) it->second();
    }
}

int QtMainQueue::run() {
    return QCoreApplication::exec();
}

void QtMainQueue::quit(int exitCode) {
    onMainThread([exitCode] { QCoreApplication::exit(exitCode); });
}

}  // namespace tarvo::platform
