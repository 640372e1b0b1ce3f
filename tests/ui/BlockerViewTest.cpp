// The blocker, the more-time dialog and the log-out confirmation on the
// offscreen platform: texts, fonts, colours, geometry, screens, the pin timer
// on virtual time, and what reaches the agent.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include "core/VirtualTime.h"
#include "platform/fake/FakeUserSession.h"
#include "ui/FullScreenBlockerController.h"
#include "ui/MoreTimeRequestPopup.h"
#include "ui/QtAgentViews.h"
#include "ui/UiFixture.h"
#include "ui/UiStyle.h"

namespace tarvo::test {
namespace {

using ui::BlockerWindow;
using ui::FullScreenBlockerController;
using ui::MoreTimeRequestPopup;

class BlockerViewTest : public ::testing::Test {
  protected:
    explicit BlockerViewTest(std::vector<QRect> screens = {QRect(0, 0, 1280, 800)})
        : app_(std::move(screens)) {}

    std::unique_ptr<BlockerView> makeBlocker(const std::string& name, std::int64_t minutes) {
        views = std::make_shared<ui::QtAgentViews>(queue, session, nullptr);
        views->becomeMenuBarOnly();
        return views->makeBlocker(name, minutes,
                                  [this](std::int64_t m) { requested.push_back(m); });
    }
    static FullScreenBlockerController& controller(BlockerView& view) {
        return dynamic_cast<FullScreenBlockerController&>(view);
    }
    static QPushButton* button(BlockerWindow* window, const QString& title) {
        for (auto* b : window->findChildren<QPushButton*>())
            if (b->text() == title) return b;
        return nullptr;
    }
    // Answers the next modal dialog with `act` once it is up.
    static void whenModal(std::function<void(QWidget*)> act) {
        QTimer::singleShot(0, [act] { act(QApplication::activeModalWidget()); });
    }

    OffscreenApp app_;
    VirtualMainQueue queue;
    std::shared_ptr<platform::FakeUserSession> session =
        std::make_shared<platform::FakeUserSession>();
    std::shared_ptr<ui::QtAgentViews> views;
    std::vector<std::int64_t> requested;
};

TEST_F(BlockerViewTest, PrimaryScreenShowsNameMinutesAndButtonsInTheirFontsAndColours) {
    struct Case {
        std::int64_t minutes;
        const char* usedLine;
    };
    for (const Case& c :
         {Case{0, "You've used 0 minutes today. Your parent can grant more time."},
          Case{1, "You've used 1 minutes today. Your parent can grant more time."},
          Case{95, "You've used 95 minutes today. Your parent can grant more time."}}) {
        auto blocker = makeBlocker("Emma Lind", c.minutes);
        blocker->show();
        auto& ctl = controller(*blocker);
        ASSERT_EQ(ctl.windows().size(), 1u);
        BlockerWindow* w = ctl.windows()[0];
        auto* brand = w->findChild<QLabel*>("brand");
        auto* headline = w->findChild<QLabel*>("headline");
        auto* used = w->findChild<QLabel*>("usedLine");
        ASSERT_TRUE(brand && headline && used);
        EXPECT_EQ(brand->text(), "Tarvo");
        EXPECT_EQ(headline->text(), "Time's up, Emma Lind.");
        EXPECT_EQ(used->text(), c.usedLine);
        EXPECT_EQ(brand->font().pixelSize(), 64);
        EXPECT_EQ(brand->font().weight(), QFont::ExtraLight);
        EXPECT_EQ(headline->font().pixelSize(), 32);
        EXPECT_EQ(headline->font().weight(), QFont::DemiBold);
        EXPECT_EQ(used->font().pixelSize(), 18);
        EXPECT_EQ(used->font().weight(), QFont::Normal);
        EXPECT_EQ(brand->palette().color(QPalette::WindowText), QColor(Qt::white));
        EXPECT_EQ(used->palette().color(QPalette::WindowText), ui::grey(0.85));
        EXPECT_TRUE(used->wordWrap());
        EXPECT_LE(used->width(), 700);

        QPushButton* more = button(w, "Request more time");
        QPushButton* logOut = button(w, "Log out");
        ASSERT_TRUE(more && logOut);
        for (QPushButton* b : {more, logOut}) {
            EXPECT_GE(b->width(), 220);
            EXPECT_EQ(b->height(), 56);
            EXPECT_EQ(b->font().pixelSize(), 18);
            EXPECT_EQ(b->font().weight(), QFont::DemiBold);
        }
        EXPECT_TRUE(more->styleSheet().contains("background-color: #30b0c7"));
        EXPECT_TRUE(
            logOut->styleSheet().contains("background-color: " + ui::rgb(0.75, 0.25, 0.20).name()));
        EXPECT_TRUE(more->styleSheet().contains("border-radius: 12px"));

        // Spacings: 24 between the rows, 20 between the buttons, "Request more time" first.
        auto top = [w](QWidget* x) { return x->mapTo(w, QPoint(0, 0)).y(); };
        auto bottom = [&](QWidget* x) { return top(x) + x->height(); };
        EXPECT_EQ(top(headline) - bottom(brand), 24);
        EXPECT_EQ(top(used) - bottom(headline), 24);
        EXPECT_EQ(top(more) - bottom(used), 24);
        EXPECT_EQ(logOut->mapTo(w, QPoint(0, 0)).x() - more->mapTo(w, QPoint(more->width(), 0)).x(),
                  20);
        // The column sits in the middle of the screen, each row centred on it.
        auto* stack = w->findChild<QWidget*>("blockerStack");
        ASSERT_TRUE(stack);
        EXPECT_NEAR(stack->x() + stack->width() / 2.0, 640, 1);
        EXPECT_NEAR(stack->y() + stack->height() / 2.0, 400, 1);
        for (QWidget* x : {static_cast<QWidget*>(brand), static_cast<QWidget*>(headline),
                           static_cast<QWidget*>(used)})
            EXPECT_NEAR(x->mapTo(w, QPoint(0, 0)).x() + x->width() / 2.0, 640, 1)
                << x->objectName().toStdString();
        blocker->dismiss();
    }
}

TEST_F(BlockerViewTest, LongTextWrapsAt700Pixels) {
    auto blocker = makeBlocker("x", 1);
    blocker->show();
    // A long name makes the headline wide; the used line keeps to its 700.
    auto* used = controller(*blocker).windows()[0]->findChild<QLabel*>("usedLine");
    used->setText(QString(40, QChar('w')) + " " + used->text());
    used->setFixedWidth(700);
    EXPECT_GT(used->heightForWidth(700), QFontMetrics(used->font()).height());
}

TEST_F(BlockerViewTest, WindowIsFramelessOnTopOpaqueWithTheGradient) {
    auto blocker = makeBlocker("Emma", 10);
    blocker->show();
    BlockerWindow* w = controller(*blocker).windows()[0];
    EXPECT_TRUE(w->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(w->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(w->geometry(), QRect(0, 0, 1280, 800));
    const QImage image = w->grab().toImage();
    auto near = [](QColor a, QColor b) {
        return std::abs(a.red() - b.red()) <= 2 && std::abs(a.green() - b.green()) <= 2 &&
               std::abs(a.blue() - b.blue()) <= 2;
    };
    // Lighter in the top-left corner, darker in the bottom-right one.
    EXPECT_TRUE(near(image.pixelColor(0, 0), ui::rgb(0.05, 0.07, 0.13)))
        << image.pixelColor(0, 0).name().toStdString();
    EXPECT_TRUE(near(image.pixelColor(1279, 799), ui::rgb(0.02, 0.03, 0.06)))
        << image.pixelColor(1279, 799).name().toStdString();
}

TEST_F(BlockerViewTest, ClosingEscapeAndMovingDoNotTakeItDown) {
    auto blocker = makeBlocker("Emma", 10);
    blocker->show();
    BlockerWindow* w = controller(*blocker).windows()[0];
    EXPECT_FALSE(w->close());
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(w, &escape);
    w->move(300, 200);
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->pos(), QPoint(0, 0));
}

TEST_F(BlockerViewTest, PinTimerRestoresTheWindowsEveryTwoSecondsUntilDismissed) {
    auto blocker = makeBlocker("Emma", 10);
    blocker->show();
    auto& ctl = controller(*blocker);
    EXPECT_EQ(views->activationPolicy(), platform::ActivationPolicy::regular);
    EXPECT_EQ(queue.activeTimers(), 1u);
    BlockerWindow* w = ctl.windows()[0];
    w->hide();
    queue.advance(std::chrono::milliseconds(1999));
    EXPECT_FALSE(w->isVisible());
    queue.advance(std::chrono::milliseconds(1));
    EXPECT_TRUE(w->isVisible());
    w->showMinimized();
    queue.advance(std::chrono::seconds(2));
    EXPECT_FALSE(w->isMinimized());

    blocker->dismiss();
    EXPECT_TRUE(ctl.windows().empty());
    EXPECT_FALSE(ctl.pinning());
    EXPECT_EQ(queue.activeTimers(), 0u);
    EXPECT_EQ(views->activationPolicy(), platform::ActivationPolicy::accessory);
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (QWidget* top : QApplication::topLevelWidgets()) EXPECT_FALSE(top->isVisible());
    // Twice, and showing again after it, behave.
    blocker->dismiss();
    blocker->show();
    EXPECT_EQ(ctl.windows().size(), 1u);
    EXPECT_EQ(queue.activeTimers(), 1u);
}

TEST_F(BlockerViewTest, DismissBeforeShowOnlyLeavesTheTaskbar) {
    auto blocker = makeBlocker("Emma", 10);
    blocker->dismiss();
    EXPECT_EQ(views->activationPolicy(), platform::ActivationPolicy::accessory);
    EXPECT_EQ(queue.activeTimers(), 0u);
    EXPECT_TRUE(controller(*blocker).windows().empty());
}

TEST_F(BlockerViewTest, CursorHiddenUntilTheMouseMoves) {
    auto blocker = makeBlocker("Emma", 10);
    blocker->show();
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::BlankCursor);
    BlockerWindow* w = controller(*blocker).windows()[0];
    QMouseEvent move(QEvent::MouseMove, QPointF(10, 10), QPointF(10, 10), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &move);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    blocker->dismiss();
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST(MoreTimeMinutes, AcceptsWholeNumbersFrom1To1440Only) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> minutes;
    };
    for (const Case& c :
         {Case{"60", 60}, Case{"1", 1}, Case{"1440", 1440}, Case{"+45", 45}, Case{" 90 ", 90},
          Case{"0", std::nullopt}, Case{"1441", std::nullopt}, Case{"-5", std::nullopt},
          Case{"12.5", std::nullopt}, Case{"", std::nullopt}, Case{"abc", std::nullopt},
          Case{"30min", std::nullopt}, Case{"99999999999999999999", std::nullopt},
          Case{"+", std::nullopt}, Case{"٣٠", std::nullopt}}) {
        EXPECT_EQ(MoreTimeRequestPopup::parseMinutes(QString::fromUtf8(c.text)), c.minutes)
            << c.text;
    }
}

TEST_F(BlockerViewTest, DialogOffersTheUsualAmountsAndSendsTheChosenOne) {
    auto blocker = makeBlocker("Emma", 10);
    blocker->show();
    BlockerWindow* w = controller(*blocker).windows()[0];
    bool checked = false;
    whenModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<MoreTimeRequestPopup*>(modal);
        ASSERT_TRUE(dialog);
        EXPECT_TRUE(dialog->windowFlags() & Qt::WindowStaysOnTopHint);
        EXPECT_EQ(dialog->parentWidget(), w);
        EXPECT_EQ(dialog->findChild<QLabel*>("messageText")->text(), "Request more time");
        EXPECT_EQ(dialog->findChild<QLabel*>("informativeText")->text(),
                  "How many extra minutes would you like to ask for?");
        QComboBox* combo = dialog->comboBox();
        ASSERT_EQ(combo->count(), 4);
        EXPECT_EQ(combo->itemText(0), "15");
        EXPECT_EQ(combo->itemText(1), "30");
        EXPECT_EQ(combo->itemText(2), "60");
        EXPECT_EQ(combo->itemText(3), "120");
        EXPECT_EQ(combo->currentText(), "30");
        EXPECT_EQ(combo->size(), QSize(220, 26));
        combo->setCurrentIndex(2);
        checked = true;
        dialog->findChild<QPushButton*>("sendRequest")->click();
    });
    button(w, "Request more time")->click();
    EXPECT_TRUE(checked);
    EXPECT_EQ(requested, std::vector<std::int64_t>{60});

    whenModal([](QWidget* modal) { qobject_cast<QDialog*>(modal)->reject(); });
    button(w, "Request more time")->click();
    EXPECT_EQ(requested, std::vector<std::int64_t>{60}) << "Cancel sends nothing";
}

TEST_F(BlockerViewTest, PinTimerBringsAMinimisedDialogBack) {
    auto blocker = makeBlocker("Emma", 10);
    blocker->show();
    BlockerWindow* w = controller(*blocker).windows()[0];
    bool restored = false;
    whenModal([&](QWidget* modal) {
        modal->showMinimized();
        queue.advance(FullScreenBlockerController::kPinInterval);
        restored = !modal->isMinimized() && modal->isVisible();
        qobject_cast<QDialog*>(modal)->reject();
    });
    button(w, "Request more time")->click();
    EXPECT_TRUE(restored);
}

TEST_F(BlockerViewTest, DialogKeepsItselfOpenForTextThatIsNotAWholeNumberOfMinutes) {
    auto blocker = makeBlocker("Emma", 10);
    blocker->show();
    BlockerWindow* w = controller(*blocker).windows()[0];
    std::vector<std::string> stayedOpen;
    whenModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<MoreTimeRequestPopup*>(modal);
        ASSERT_TRUE(dialog);
        for (const char* text : {"abc", "0", "1441", "-5", "12.5", ""}) {
            dialog->comboBox()->setEditText(text);
            dialog->findChild<QPushButton*>("sendRequest")->click();
            if (dialog->isVisible() && dialog->hintLabel()->isVisible() &&
                dialog->hintLabel()->text() == "Enter a whole number of minutes from 1 to 1440.")
                stayedOpen.push_back(text);
        }
        dialog->comboBox()->setEditText("+45");
        dialog->findChild<QPushButton*>("sendRequest")->click();
    });
    button(w, "Request more time")->click();
    EXPECT_EQ(stayedOpen, (std::vector<std::string>{"abc", "0", "1441", "-5", "12.5", ""}));
    EXPECT_EQ(requested, std::vector<std::int64_t>{45});
}

TEST_F(BlockerViewTest, BlockerDismissedWhileTheDialogIsOpenSendsNothing) {
    auto blocker = makeBlocker("Emma", 10);
    blocker->show();
    BlockerWindow* w = controller(*blocker).windows()[0];
    whenModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<MoreTimeRequestPopup*>(modal);
        ASSERT_TRUE(dialog);
        // The grant arrives while the child is still choosing.
        blocker.reset();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    });
    button(w, "Request more time")->click();
    EXPECT_TRUE(requested.empty());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(BlockerViewTest, LogOutAsksFirstAndThenEndsTheSession) {
    auto blocker = makeBlocker("Emma", 10);
    blocker->show();
    BlockerWindow* w = controller(*blocker).windows()[0];
    whenModal([](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_TRUE(box);
        EXPECT_EQ(box->text(), "Log out now?");
        EXPECT_EQ(box->informativeText(), "You'll need to sign in again to use the computer.");
        EXPECT_TRUE(box->windowFlags() & Qt::WindowStaysOnTopHint);
        ASSERT_EQ(box->buttons().size(), 2);
        EXPECT_EQ(box->defaultButton()->text(), "Log out");
        for (auto* b : box->buttons())
            if (b->text() == "Cancel") b->click();
    });
    button(w, "Log out")->click();
    EXPECT_EQ(session->logOutRequests(), 0);

    whenModal([](QWidget* modal) { qobject_cast<QMessageBox*>(modal)->defaultButton()->click(); });
    button(w, "Log out")->click();
    EXPECT_EQ(session->logOutRequests(), 1);
    EXPECT_TRUE(w->isVisible()) << "the blocker stays until the session ends";
}

class TwoScreenBlockerTest : public BlockerViewTest {
  protected:
    TwoScreenBlockerTest() : BlockerViewTest({QRect(0, 0, 1280, 800), QRect(1280, 0, 1024, 768)}) {}
};

TEST_F(TwoScreenBlockerTest, EveryScreenCoveredEdgeToEdgeOnlyThePrimaryWithTexts) {
    ASSERT_EQ(QGuiApplication::screens().size(), 2);
    auto blocker = makeBlocker("Emma", 10);
    blocker->show();
    auto& ctl = controller(*blocker);
    const auto screens = FullScreenBlockerController::screensInOrder();
    ASSERT_EQ(screens.size(), 2u);
    EXPECT_EQ(screens[0], QGuiApplication::primaryScreen());
    ASSERT_EQ(ctl.windows().size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        BlockerWindow* w = ctl.windows()[i];
        EXPECT_EQ(w->screen(), screens[i]);
        EXPECT_EQ(w->geometry(), screens[i]->geometry());
        EXPECT_TRUE(w->isVisible());
    }
    EXPECT_NE(ctl.windows()[0]->findChild<QLabel*>("headline"), nullptr);
    EXPECT_TRUE(ctl.windows()[1]->findChildren<QWidget*>().isEmpty()) << "the gradient alone";
    // Both are pinned.
    ctl.windows()[1]->hide();
    queue.advance(std::chrono::seconds(2));
    EXPECT_TRUE(ctl.windows()[1]->isVisible());
}

}  // namespace
}  // namespace tarvo::test
