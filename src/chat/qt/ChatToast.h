#pragma once

#include <QObject>
#include <QPointer>

#include <functional>
#include <string>

#include "core/MainQueue.h"
#include "core/TarvoLog.h"

class QAbstractButton;
class QSoundEffect;
class QVariantAnimation;
class QWidget;

namespace tarvo::chatqt {

class ClampedText;
class ElidedLabel;
class ToastCard;
class ToastShelf;

// The card that announces a parent's message: bottom-right of the primary
// screen, sliding in, breathing a green glow, never taking the focus. Made
// and shown by a ToastShelf, one at a time. Main thread only.
class ChatToast : public QObject {
    Q_OBJECT
  public:
    static constexpr int width = 360;
    static constexpr int height = 150;
    static constexpr Millis autoDismiss{120000};

    // What a toast needs from the role around it.
    struct Context {
        // The role's main loop; it runs the automatic close. Must outlive the toast.
        MainQueue* queue = nullptr;
        TarvoLog log{"chat"};
        // The "Ping" sound (a WAV file); not played when empty or missing.
        std::string soundFile;
    };

    // "Reply", or a click anywhere on the card: runs the reply action, then closes.
    void replyTapped();
    // "Dismiss": closes without the reply action.
    void dismissTapped();

    // The panel; none once closed.
    QWidget* window() const;
    QString title() const;
    QString body() const;
    // The body as drawn: at most three lines.
    QStringList bodyLines() const;
    QAbstractButton* replyButton() const;
    QAbstractButton* dismissButton() const;
    // The glow's present phase, 0 (darker, tighter) to 1 (lighter, wider).
    double glowPhase() const;

  private:
    friend class ToastShelf;
    ChatToast(std::function<void()> onReply, const Context& context);
    ~ChatToast() override;

    void build(const std::string& senderName, const std::string& body);
    // Slides the card in; `ping` plays the sound as it starts.
    void slideIn(const std::function<void()>& ping);
    void armAutoDismiss();
    void startBreathing();
    void close();

    QPointer<ToastCard> window_;
    ClampedText* bodyLabel_ = nullptr;
    ElidedLabel* titleLabel_ = nullptr;
    ScopedTimer dismissWork_;
    QVariantAnimation* glow_ = nullptr;
    std::function<void()> onReply_;
    Context context_;
    bool closing_ = false;
};

// Where a chat window's toasts appear: one at a time, with one sound player
// for them, loaded on the first toast. Main thread only; a toast on screen
// goes with its shelf, which must not outlive the context's queue.
class ToastShelf {
  public:
    explicit ToastShelf(ChatToast::Context context);
    ~ToastShelf();
    ToastShelf(const ToastShelf&) = delete;
    ToastShelf& operator=(const ToastShelf&) = delete;

    // Shows a toast, or puts the newer sender's name and text on the one on
    // screen (its reply action stays) and restarts its two minutes.
    void present(const std::string& senderName, const std::string& body,
                 std::function<void()> onReply);
    // The toast on screen, if any: none from the moment it starts to close.
    ChatToast* shown() const;
    // Takes the toast down at once, without the fade (shutdown, tests).
    void discard();

  private:
    friend class ChatToast;
    void playPing();

    ChatToast::Context context_;
    QPointer<ChatToast> current_;
    QPointer<QSoundEffect> ping_;
    QString loaded_;
};

}  // namespace tarvo::chatqt
