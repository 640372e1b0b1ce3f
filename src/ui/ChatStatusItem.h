#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QIcon;
class QSystemTrayIcon;

namespace tarvo::ui {

// The agent's "Chat with parent" item in the system tray: a speech bubble
// whose click opens the chat. Without a tray host it logs one warning and
// waits; the icon appears as soon as a tray host starts.
class ChatStatusItem : public QObject {
    Q_OBJECT
  public:
    explicit ChatStatusItem(std::function<void()> onClick);
    ~ChatStatusItem() override;

    QSystemTrayIcon* trayIcon() const { return tray_; }

    // The speech bubble, drawn at the usual tray sizes.
    static QIcon speechBubbleIcon();

  private:
    std::function<void()> onClick_;
    QSystemTrayIcon* tray_;
};

}  // namespace tarvo::ui
