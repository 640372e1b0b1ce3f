// The agent's views offscreen: texts, the cursor, and the timers on virtual
// time (screens, stacking and focus are checked under X in WindowManagerTest).
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
    // Clicks `text` on the blocker and runs `act` on the modal dialog it opens.
    void withModal(const QString& text, std::function<void(QWidget*)> act) {
        QTimer::singleShot(0, [act] { act(QApplication::activeModalWidget()); });
        for (auto* b : showBlocker().front()->findChildren<QPushButton*>())
            if (b->text() == text) b->click();
    }

    std::unique_ptr<QApplication> app_ = ui::makeAgentApplication({"-platform", "offscreen"});
    VirtualMainQueue queue;
    std::shared_ptr<platform::FakeUserSession> session =
        std::make_shared<platform::FakeUserSession>();
    std::shared_ptr<ui::QtAgentViews> views =
        std::make_shared<ui::QtAgentViews>(queue, session, nullptr);
    std::unique_ptr<BlockerView> blocker;
    std::vector<std::int64_t> asked;
};

TEST_F(ViewsTest, BlockerAndTimeCardTextsCursorAndTimers) {
    views->becomeMenuBarOnly();
    ui::BlockerWindow* w = showBlocker(95, "Emma Lind").front();
    EXPECT_EQ(w->findChild<QLabel*>("headline")->text(), "Time's up, Emma Lind.");
    EXPECT_EQ(w->findChild<QLabel*>("usedLine")->text(),
              "You've used 95 minutes today. Your parent can grant more time.");
    auto* stack = w->findChild<QWidget*>("blockerStack");
    EXPECT_NEAR(stack->x() + stack->width() / 2.0, w->width() / 2.0, 1);
    EXPECT_NEAR(stack->y() + stack->height() / 2.0, w->height() / 2.0, 1);
    EXPECT_EQ(views->activationPolicy(), platform::ActivationPolicy::regular);
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::BlankCursor);
    QMouseEvent move(QEvent::MouseMove, QPointF(10, 10), QPointF(10, 10), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &move);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "the mouse brings the cursor back";

    // Every two seconds the window is brought back.
    w->showMinimized();
    queue.advance(1999ms);
    EXPECT_TRUE(w->isMinimized());
    queue.advance(1ms);
    EXPECT_FALSE(w->isMinimized());

    blocker->dismiss();
    EXPECT_EQ(queue.activeTimers(), 0u);
    EXPECT_EQ(views->activationPolicy(), platform::ActivationPolicy::accessory);
    blocker->dismiss();
    EXPECT_EQ(showBlocker().size(), 1u) << "shown again after a dismissal";
    EXPECT_EQ(queue.activeTimers(), 1u);
    blocker.reset();

    // The time card: one at a time, each for its own fifteen seconds.
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

TEST_F(ViewsTest, MoreTimeAndLogOutAskFirst) {
    // Whole numbers of minutes from 1 to 1440 only.
    const std::vector<std::pair<const char*, std::optional<std::int64_t>>> cases = {
        {"1", 1},
        {"+1440", 1440},
        {"0", std::nullopt},
        {"1441", std::nullopt},
        {"12.5", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"٣٠", std::nullopt}};
    for (const auto& [text, minutes] : cases)
        EXPECT_EQ(MoreTimeRequestPopup::parseMinutes(QString::fromUtf8(text)), minutes) << text;

    withModal("Request more time", [&](QWidget* modal) {
        auto* dialog = qobject_cast<MoreTimeRequestPopup*>(modal);
        ASSERT_TRUE(dialog);
        EXPECT_TRUE(dialog->windowFlags() & Qt::WindowStaysOnTopHint);
        QComboBox* combo = dialog->comboBox();
        EXPECT_EQ(combo->currentText(), "30");
        // The pin timer brings a minimised dialog back.
        dialog->showMinimized();
        queue.advance(ui::FullScreenBlockerController::kPinInterval);
        EXPECT_FALSE(dialog->isMinimized());
        combo->setEditText("1441");
        dialog->findChild<QPushButton*>("sendRequest")->click();
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_EQ(dialog->hintLabel()->text(), "Enter a whole number of minutes from 1 to 1440.");
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

}  // namespace
}  // namespace tarvo::test
