#pragma once

#include <functional>

#include <QJsonValue>
#include <QObject>
#include <QWidget>

#include "webview/WebViewLibrary.h"

class QTimer;
class QWebChannel;
class QWebEngineLoadingInfo;
class QWebEngineView;

namespace tarvo::webview {

// The object the page's messages arrive at, registered on the web channel
// as "tarvoHost".
class BridgeHost : public QObject {
    Q_OBJECT
  public:
    // `pageUrl` gives the address of the page shown when a message arrives.
    BridgeHost(WindowDelegate& delegate, std::function<std::string()> pageUrl,
               QObject* parent = nullptr)
        : QObject(parent), delegate_(delegate), pageUrl_(std::move(pageUrl)) {}

  public slots:
    // A string arrives as it is; anything else means the body was not a string.
    void postMessage(const QJsonValue& body);

  private:
    WindowDelegate& delegate_;
    std::function<std::string()> pageUrl_;
};

// The setup window on Qt WebEngine: a top-level widget whose whole content
// is the web view, with the bridge script in every frame.
class WebEngineManagerWindow : public QWidget, public ManagerWindow {
    Q_OBJECT
  public:
    WebEngineManagerWindow(WindowDelegate& delegate, const Options& options);
    ~WebEngineManagerWindow() override;

    void buildWindow() override;
    void presentAlert(const std::string& title, const std::string& text, AlertStyle style,
                      std::function<void()> dismissed) override;
    void load(const std::string& url) override;
    void terminate() override;

    QWebEngineView* view() const { return view_; }

    // The description of a failed load the way a person reads it.
    static QString describeFailure(const QWebEngineLoadingInfo& info);

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void onLoadingChanged(const QWebEngineLoadingInfo& info);
    void onLoadTimedOut();

    WindowDelegate& delegate_;
    Options options_;
    QWebEngineView* view_ = nullptr;
    QWebChannel* channel_ = nullptr;
    BridgeHost* host_ = nullptr;
    QTimer* loadTimer_ = nullptr;
    bool timedOut_ = false;
    bool terminating_ = false;
};

}  // namespace tarvo::webview
