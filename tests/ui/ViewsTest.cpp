// The agent's views offscreen with two screens: texts, and the timers on
// virtual time.
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include "platform/fake/FakeUserSession.h"
#include "support/VirtualTime.h"
#include "ui/FullScreenBlockerController.h"
#include "ui/MoreTimeRequestPopup.h"
#include "ui/QtAgentViews.h"
#include "ui/TimeWarningPopup.h"
#include "ui/UiFixture.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;
using ui::MoreTimeRequestPopup;

class ViewsTest : public ::testing::Test {
  protected:
    // A blocker shown for `name`; its windows, the primary screen's first.
    const std::vector<ui::BlockerWindow*>& showBlocker(std::int64_t minutes = 10,
                                                       const std::string& name = "Emma") {
        blocker = views->makeBlocker(name, minutes, [this](std::int64_t m) { asked.push_back(m); });
        blocker->show();
        return dynamic_cast<ui::FullScreenBlockerController&>(*blocker).windows();
    }
    static QPushButton* button(QWidget* w, const QString& text) {
        for (auto* b : w->findChildren<QPushButton*>())
            if (b->text() == text) return b;
        return nullptr;
    }
    // Clicks `text` on the blocker and runs `act` on the modal dialog it opens.
    void withModal(const QString& text, std::function<void(QWidget*)> act) {
        QTimer::singleShot(0, [act] { act(QApplication::activeModalWidget()); });
        button(showBlocker().front(), text)->click();
    }

    OffscreenApp app_{{QRect(0, 0, 1280, 800), QRect(1280, 0, 1024, 768)}};
    VirtualMainQueue queue;
    std::shared_ptr<platform::FakeUserSession> session =
        std::make_shared<platform::FakeUserSession>();
    std::shared_ptr<ui::QtAgentViews> views =
        std::make_shared<ui::QtAgentViews>(queue, session, nullptr);
    std::unique_ptr<BlockerView> blocker;
    std::vector<std::int64_t> asked;
};

TEST_F(ViewsTest, BlockerCoversEveryScreenAndIsPinnedUntilDismissed) {
    views->becomeMenuBarOnly();
    {
        ui::BlockerWindow* w = showBlocker(95, "Emma Lind").front();
        auto* headline = w->findChild<QLabel*>("headline");
        auto* used = w->findChild<QLabel*>("usedLine");
        ASSERT_TRUE(headline && used);
        EXPECT_EQ(headline->text(), "Time's up, Emma Lind.");
        EXPECT_EQ(used->text(), "You've used 95 minutes today. Your parent can grant more time.");
        auto* stack = w->findChild<QWidget*>("blockerStack");
        ASSERT_TRUE(stack);
        EXPECT_NEAR(stack->x() + stack->width() / 2.0, 640, 1);
        EXPECT_NEAR(stack->y() + stack->height() / 2.0, 400, 1);
        blocker->dismiss();
    }

    const auto windows = showBlocker();
    ASSERT_EQ(windows.size(), 2u);  // where each one lands is checked under X
    EXPECT_TRUE(windows[1]->findChildren<QWidget*>().isEmpty()) << "the gradient alone";
    EXPECT_EQ(views->activationPolicy(), platform::ActivationPolicy::regular);
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::BlankCursor);
    QMouseEvent move(QEvent::MouseMove, QPointF(10, 10), QPointF(10, 10), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(windows[0], &move);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "the mouse brings the cursor back";

    // Every two seconds each window is brought back; close and move requests
    // are refused under X (WindowManagerTest).
    ui::BlockerWindow* w = windows[0];
    w->hide();
    windows[1]->showMinimized();
    queue.advance(1999ms);
    EXPECT_FALSE(w->isVisible());
    queue.advance(1ms);
    EXPECT_TRUE(w->isVisible());
    EXPECT_FALSE(windows[1]->isMinimized());

    blocker->dismiss();
    EXPECT_EQ(queue.activeTimers(), 0u);
    EXPECT_EQ(views->activationPolicy(), platform::ActivationPolicy::accessory);
    blocker->dismiss();
    EXPECT_EQ(showBlocker().size(), 2u) << "shown again after a dismissal";
    EXPECT_EQ(queue.activeTimers(), 1u);
}

TEST(MoreTimeMinutes, WholeNumbersFrom1To1440Only) {
    const std::vector<std::pair<const char*, std::optional<std::int64_t>>> cases = {
        {"1", 1},
        {"1440", 1440},
        {"+45", 45},
        {"0", std::nullopt},
        {"1441", std::nullopt},
        {"12.5", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"٣٠", std::nullopt}};
    for (const auto& [text, minutes] : cases)
        EXPECT_EQ(MoreTimeRequestPopup::parseMinutes(QString::fromUtf8(text)), minutes) << text;
}

TEST_F(ViewsTest, MoreTimeAndLogOutAskFirst) {
    withModal("Request more time", [&](QWidget* modal) {
        auto* dialog = qobject_cast<MoreTimeRequestPopup*>(modal);
        ASSERT_TRUE(dialog);
        EXPECT_TRUE(dialog->windowFlags() & Qt::WindowStaysOnTopHint);
        EXPECT_EQ(dialog->findChild<QLabel*>("informativeText")->text(),
                  "How many extra minutes would you like to ask for?");
        QComboBox* combo = dialog->comboBox();
        EXPECT_EQ(combo->currentText(), "30");
        // The pin timer brings a minimised dialog back.
        dialog->showMinimized();
        queue.advance(ui::FullScreenBlockerController::kPinInterval);
        EXPECT_FALSE(dialog->isMinimized());
        for (const char* text : {"abc", "1441"}) {
            combo->setEditText(text);
            dialog->findChild<QPushButton*>("sendRequest")->click();
            EXPECT_TRUE(dialog->isVisible()) << text;
            EXPECT_EQ(dialog->hintLabel()->text(),
                      "Enter a whole number of minutes from 1 to 1440.");
        }
        combo->setCurrentIndex(2);
        dialog->findChild<QPushButton*>("sendRequest")->click();
    });
    EXPECT_EQ(asked, std::vector<std::int64_t>{60});
    withModal("Request more time", [](QWidget* m) { qobject_cast<QDialog*>(m)->reject(); });
    // The grant arrives while the child is still choosing: nothing is sent.
    withModal("Request more time", [&](QWidget*) {
        blocker.reset();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    });
    EXPECT_EQ(asked, std::vector<std::int64_t>{60}) << "Cancel and a grant send nothing";
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    for (const char* answer : {"Cancel", "Log out"}) {
        withModal("Log out", [answer](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            ASSERT_TRUE(box);
            EXPECT_EQ(box->text(), "Log out now?");
            EXPECT_TRUE(box->windowFlags() & Qt::WindowStaysOnTopHint);
            for (auto* b : box->buttons())
                if (b->text() == answer) b->click();
        });
    }
    EXPECT_EQ(session->logOutRequests(), 1);
}

TEST_F(ViewsTest, TimeCardTopRightOfThePrimaryForFifteenSecondsEach) {
    ui::TimeWarningPopup popup(queue);
    auto message = [&] { return popup.window()->findChild<QLabel*>("message")->text(); };
    for (int n : {1, 5, 0}) {
        popup.show(n);
        EXPECT_EQ(message().toStdString(), "You have " + std::to_string(n) + " minute" +
                                               (n == 1 ? "" : "s") + " of screen time left.");
    }
    int cards = 0;
    for (QWidget* w : QApplication::topLevelWidgets()) cards += w->isVisible();
    EXPECT_EQ(cards, 1) << "one at a time";
    EXPECT_EQ(popup.window()->screen(), QGuiApplication::primaryScreen());

    popup.close();
    popup.show(5);
    queue.advance(10s);
    popup.show(4);  // its own full 15 seconds
    queue.advance(14999ms);
    EXPECT_TRUE(popup.window() && popup.window()->isVisible());
    queue.advance(1ms);
    EXPECT_EQ(popup.window(), nullptr);
    EXPECT_EQ(queue.activeTimers(), 0u);
}

}  // namespace
}  // namespace tarvo::test
