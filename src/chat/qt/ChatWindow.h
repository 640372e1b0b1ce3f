#pragma once

#include <QPointer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "chat/ChatView.h"
#include "chat/qt/ChatToast.h"
#include "core/MainQueue.h"
#include "core/TarvoLog.h"

class QAbstractButton;
class QLabel;
class QLineEdit;
class QScrollArea;
class QVBoxLayout;
class QWidget;

namespace tarvo {

namespace chatqt {
class ChatWindowWidget;
class X11Visibility;
}  // namespace chatqt

// The chat with the parents on screen: a header with the child's avatar, the
// title and the connection line over the chat backdrop, the conversation as
// bubbles growing downwards, and the input bar with the round send button.
// Built once, hidden; closing only hides it. Also shows the toast for a
// parent's message. Main thread only.
class ChatWindow : public ChatView {
  public:
    struct Config {
        // The child's short account name: the avatar's letters and the name on
        // the child's bubbles.
        std::string username;
        // The bundle's resources: "chat2.png" (backdrop) and "Ping.wav" (toast sound).
        std::string resourcesDir;
        // Category "chat", in the agent's log file.
        TarvoLog log{"chat"};
        // The role's main loop (the toast's automatic close). Must outlive the window.
        MainQueue* queue = nullptr;
    };

    static constexpr int contentWidth = 440;
    static constexpr int contentHeight = 620;

    // Builds the window hidden and logs its frame and whether the backdrop loaded.
    explicit ChatWindow(Config config);
    ~ChatWindow() override;
    ChatWindow(const ChatWindow&) = delete;
    ChatWindow& operator=(const ChatWindow&) = delete;

    void showRows(const std::vector<ChatRow>& rows) override;
    void setTitle(const std::string& title) override;
    void setSubtitle(const std::string& subtitle) override;
    void setInputText(const std::string& text) override;
    ChatWindowState windowState() const override;
    void open() override;
    void presentToast(const std::string& sender, const std::string& body,
                      std::function<void()> onReply) override;
    void setSendAction(std::function<void(const std::string& input)> action) override;

    // Where its toasts appear.
    chatqt::ToastShelf& toasts() { return toasts_; }

    // The send button and Return.
    void sendTapped();
    // Scrolls the conversation to its end once the rows are laid out.
    void scrollToBottom();

    // The parts, for tests and the harness.
    QWidget* window() const;
    QLabel* titleLabel() const;
    QLabel* subtitleLabel() const;
    QLabel* avatarLabel() const;
    QLineEdit* input() const;
    QAbstractButton* sendButton() const;
    QScrollArea* scrollArea() const;
    // One widget per row, in order, once the window has been opened; each
    // holds children named "name", "bubble", "text" and "status".
    std::vector<QWidget*> rowWidgets() const;
    const std::vector<ChatRow>& rows() const { return rows_; }
    bool backdropLoaded() const { return backdropLoaded_; }

  private:
    void buildWindow();
    QWidget* buildHeader(QWidget* parent);
    QWidget* bubble(const ChatRow& row);
    void drawRows();
    void watchVisibility();

    Config config_;
    // Its toasts and their sound.
    chatqt::ToastShelf toasts_;
    bool backdropLoaded_ = false;
    // The window and its parts: each goes with the window (whoever destroys
    // it), and a rebuilt window replaces them all.
    QPointer<chatqt::ChatWindowWidget> window_;
    QPointer<QWidget> stack_;
    QPointer<QVBoxLayout> stackLayout_;
    QPointer<QScrollArea> scroll_;
    QPointer<QLineEdit> input_;
    QPointer<QLabel> titleLabel_;
    QPointer<QLabel> subtitleLabel_;
    QPointer<QLabel> avatarLabel_;
    QPointer<QAbstractButton> sendButton_;
    std::vector<QPointer<QWidget>> rowWidgets_;
    // The rows to show, and the rows `rowWidgets_` show.
    std::vector<ChatRow> rows_;
    std::vector<ChatRow> drawn_;
    std::string title_;
    std::string subtitle_;
    std::function<void(const std::string&)> sendAction_;
    std::unique_ptr<chatqt::X11Visibility> visibility_;
    // Keep the view at the end while the rows settle, until the user scrolls.
    bool followBottom_ = false;
};

}  // namespace tarvo
