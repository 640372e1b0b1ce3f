#include "webview/WebEngineManagerWindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMessageBox>
#include <QRandomGenerator>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineView>

#include "webview/BridgeScript.h"

namespace tarvo::webview {
namespace {

constexpr int kWidth = 1100;
constexpr int kHeight = 780;
constexpr int kMinimumWidth = 800;
constexpr int kMinimumHeight = 600;

QString randomNonce() {
    QString nonce;
    for (int i = 0; i < 4; ++i)
        nonce += QString::number(QRandomGenerator::system()->generate(), 16).rightJustified(8, '0');
    return nonce;
}

QMessageBox::Icon iconFor(ManagerView::AlertStyle style) {
    switch (style) {
        case ManagerView::AlertStyle::Warning:
            return QMessageBox::Warning;
        case ManagerView::AlertStyle::Informational:
            return QMessageBox::Information;
        case ManagerView::AlertStyle::Critical:
            return QMessageBox::Critical;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

void BridgeHost::postMessage(const QJsonValue& body) {
    const std::string page = pageUrl_();
    if (body.isString())
        delegate_.messageReceived(body.toString().toStdString(), page);
    else
        delegate_.messageReceived(std::nullopt, page);
}

WebEngineManagerWindow::WebEngineManagerWindow(WindowDelegate& delegate, const Options& options)
    : delegate_(delegate), options_(options) {}

WebEngineManagerWindow::~WebEngineManagerWindow() {
    // The page goes before the channel and the host it talks to.
    delete view_;
}

void WebEngineManagerWindow::buildWindow() {
    if (view_) return;
    setWindowTitle(QStringLiteral("Tarvo Manager"));
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    resize(kWidth, kHeight);

    host_ = new BridgeHost(
        delegate_,
        [this] {
            return view_ ? view_->page()->url().toString(QUrl::FullyEncoded).toStdString()
                         : std::string();
        },
        this);
    channel_ = new QWebChannel(this);
    channel_->registerObject(QStringLiteral("tarvoHost"), host_);

    view_ = new QWebEngineView(this);
    QWebEnginePage* page = view_->page();
    page->setWebChannel(channel_, QWebEngineScript::MainWorld);
    QWebEngineScript script;
    script.setName(QStringLiteral("tarvo-bridge"));
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setRunsOnSubFrames(true);
    script.setSourceCode(bridgeScript(
        BridgeHost::staticMetaObject.indexOfMethod("postMessage(QJsonValue)"), randomNonce()));
    page->scripts().insert(script);

    // The web view is the whole content and follows the window's size.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(view_);

    loadTimer_ = new QTimer(this);
    loadTimer_->setSingleShot(true);
    loadTimer_->setInterval(static_cast<int>(options_.loadTimeout.count()));
    connect(loadTimer_, &QTimer::timeout, this, &WebEngineManagerWindow::onLoadTimedOut);
    connect(page, &QWebEnginePage::loadingChanged, this, &WebEngineManagerWindow::onLoadingChanged);
    // The time-out counts from the last sign of progress, like an idle time-out.
    connect(page, &QWebEnginePage::loadProgress, this, [this] {
        if (loadTimer_->isActive()) loadTimer_->start();
    });

    if (QScreen* screen = this->screen()) {
        const QRect area = screen->availableGeometry();
        move(area.x() + (area.width() - kWidth) / 2, area.y() + (area.height() - kHeight) / 2);
    }
    show();
    raise();
    activateWindow();
}

void WebEngineManagerWindow::load(const std::string& url) {
    if (!view_) return;
    timedOut_ = false;
    view_->load(QUrl(QString::fromStdString(url)));
    loadTimer_->start();
}

void WebEngineManagerWindow::onLoadingChanged(const QWebEngineLoadingInfo& info) {
    switch (info.status()) {
        case QWebEngineLoadingInfo::LoadStartedStatus:
            timedOut_ = false;
            loadTimer_->start();
            return;
        case QWebEngineLoadingInfo::LoadSucceededStatus:
            loadTimer_->stop();
            delegate_.pageFinished(view_->url().toString(QUrl::FullyEncoded).toStdString());
            return;
        case QWebEngineLoadingInfo::LoadStoppedStatus:
            loadTimer_->stop();
            timedOut_ = false;  // reported when the time-out stopped it
            return;
        case QWebEngineLoadingInfo::LoadFailedStatus:
            break;
    }
    loadTimer_->stop();
    if (timedOut_) {
        // The time-out has reported this load already; this is its stop.
        timedOut_ = false;
        return;
    }
    switch (info.errorDomain()) {
        case QWebEngineLoadingInfo::HttpStatusCodeDomain:
            // The server answered (with an error status); its page is shown.
            delegate_.pageFinished(view_->url().toString(QUrl::FullyEncoded).toStdString());
            return;
        case QWebEngineLoadingInfo::InternalErrorDomain:
        case QWebEngineLoadingInfo::NoErrorDomain:
            delegate_.navigationFailed(describeFailure(info).toStdString());
            return;
        default:
            delegate_.provisionalNavigationFailed(describeFailure(info).toStdString());
            return;
    }
}

void WebEngineManagerWindow::onLoadTimedOut() {
    timedOut_ = true;
    delegate_.provisionalNavigationFailed("The request timed out.");
    view_->stop();
}

QString WebEngineManagerWindow::describeFailure(const QWebEngineLoadingInfo& info) {
    if (info.errorDomain() == QWebEngineLoadingInfo::CertificateErrorDomain)
        return QStringLiteral(
            "An SSL error has occurred and a secure connection to the server cannot be made.");
    if (info.errorDomain() == QWebEngineLoadingInfo::ConnectionErrorDomain ||
        info.errorDomain() == QWebEngineLoadingInfo::InternalErrorDomain) {
        // Chromium's network error numbers (net/base/net_error_list.h).
        switch (info.errorCode()) {
            case -3:
                return QStringLiteral("cancelled");
            case -7:
            case -118:
                return QStringLiteral("The request timed out.");
            case -100:
            case -101:
            case -324:
                return QStringLiteral("The network connection was lost.");
            case -102:
            case -104:
            case -109:
                return QStringLiteral("Could not connect to the server.");
            case -105:
            case -137:
                return QStringLiteral("A server with the specified hostname could not be found.");
            case -106:
                return QStringLiteral("The Internet connection appears to be offline.");
            default:
                break;
        }
    }
    if (info.errorDomain() == QWebEngineLoadingInfo::DnsErrorDomain)
        return QStringLiteral("A server with the specified hostname could not be found.");
    return info.errorString();
}

void WebEngineManagerWindow::presentAlert(const std::string& title, const std::string& text,
                                          AlertStyle style, std::function<void()> dismissed) {
    auto* box = new QMessageBox(iconFor(style), QStringLiteral("Tarvo Manager"),
                                QString::fromStdString(title), QMessageBox::Ok,
                                isVisible() ? this : nullptr);
    box->setInformativeText(QString::fromStdString(text));
    box->setObjectName(QStringLiteral("tarvoAlert"));
    // Modal, but without a nested event loop: the answer comes with the finished signal.
    box->setWindowModality(isVisible() ? Qt::WindowModal : Qt::ApplicationModal);
    box->setAttribute(Qt::WA_DeleteOnClose, true);
    QObject::connect(box, &QMessageBox::finished, box, [dismissed = std::move(dismissed)] {
        if (dismissed) dismissed();
    });
    box->show();
}

void WebEngineManagerWindow::terminate() {
    terminating_ = true;
    // Leaves every event loop, an open alert's included.
    QCoreApplication::exit(0);
}

void WebEngineManagerWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    if (!terminating_) delegate_.windowClosed();
}

}  // namespace tarvo::webview
