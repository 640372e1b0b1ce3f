#pragma once

#include <QPointer>
#include <QWidget>

#include <chrono>
#include <cstdint>

#include "agent/AgentViews.h"
#include "core/MainQueue.h"

namespace tarvo::ui {

// The card itself: a dark rounded 360 × 96 panel with "Tarvo" and the message.
class TimeWarningCard : public QWidget {
    Q_OBJECT
  public:
    explicit TimeWarningCard(const QString& message);

  protected:
    void paintEvent(QPaintEvent* event) override;
};

// The small "minutes left" card in the top-right corner of the primary
// screen's available area, shown without taking focus, closing itself after
// 15 seconds. A new card replaces the one on screen. Main thread only.
class TimeWarningPopup : public TimeWarningView {
  public:
    static constexpr int kWidth = 360;
    static constexpr int kHeight = 96;
    static constexpr int kMargin = 24;
    static constexpr std::chrono::milliseconds kCloseAfter{15000};

    explicit TimeWarningPopup(MainQueue& queue);
    ~TimeWarningPopup() override;

    void show(std::int64_t minutesRemaining) override;
    void close() override;

    // The card on screen; null when none is shown.
    QWidget* window() const { return window_; }
    bool closeScheduled() const { return closeTimer_.active(); }

    static QString message(std::int64_t minutesRemaining);

  private:
    MainQueue& queue_;
    QPointer<TimeWarningCard> window_;
    ScopedTimer closeTimer_;
};

}  // namespace tarvo::ui
