// The agent's views offscreen: texts and the timers on virtual
// time (screens, stacking and focus are checked under X in WindowManagerTest).
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

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

class ViewsTest : public ::testing::Test {
  protected:
    // A blocker shown for Emma Lind after 95 minutes; its windows, the primary screen's first.
    const std::vector<ui::BlockerWindow*>& showBlocker() {
        blocker = views->makeBlocker("Emma Lind", 95, [this](auto m) { asked.push_back(m); });
        blocker->show();
        return dynamic_cast<ui::FullScreenBlockerController&>(*blocker).windows();
    }
    // Clicks `text` on the blocker and runs `act` on the modal dialog it opens
    // (which may destroy the blocker and its buttons). The click returns with the
    // dialog open: no nested event loop runs timers and grants inside it.
    void withModal(const QString& text, std::function<void(QWidget*)> act) {
        for (auto* b : showBlocker().front()->findChildren<QPushButton*>())
            if (b->text() == text) b->click();
        act(QApplication::activeModalWidget());
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
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

TEST_F(ViewsTest, BlockerAndTimeCardTextsAndTimers) {
    views->becomeMenuBarOnly();
    ui::BlockerWindow* w = showBlocker().front();
    EXPECT_EQ(w->findChild<QLabel*>("headline")->text(), "Time's up, Emma Lind.");
    EXPECT_EQ(w->findChild<QLabel*>("usedLine")->text(),
              "You've used 95 minutes today. Your parent can grant more time.");
    EXPECT_EQ(views->activationPolicy(), platform::ActivationPolicy::regular);

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
    popup.show(1);
    EXPECT_EQ(message(), "You have 1 minute of screen time left.");
    popup.show(5);
    EXPECT_EQ(message(), "You have 5 minutes of screen time left.");
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
    const auto minutes = [](const char* text) {
        return ui::MoreTimeRequestPopup::parseMinutes(QString::fromUtf8(text));
    };
    EXPECT_EQ(minutes("1"), 1);
    EXPECT_EQ(minutes("+1440"), 1440);
    for (const char* text : {"0", "1441", "12.5", "99999999999999999999", "٣٠"})
        EXPECT_EQ(minutes(text), std::nullopt) << text;

    withModal("Request more time", [&](QWidget* modal) {
        auto* dialog = qobject_cast<ui::MoreTimeRequestPopup*>(modal);
        ASSERT_TRUE(dialog);
        EXPECT_TRUE(dialog->windowFlags() & Qt::WindowStaysOnTopHint);
        QComboBox* combo = dialog->comboBox();
        EXPECT_EQ(combo->currentText(), "30");
        // Every two seconds the pin brings the minimised dialog and blocker back.
        QWidget* w = dynamic_cast<ui::FullScreenBlockerController&>(*blocker).windows().front();
        dialog->showMinimized();
        w->showMinimized();
        queue.advance(1999ms);
        EXPECT_TRUE(dialog->isMinimized() && w->isMinimized());
        queue.advance(1ms);
        EXPECT_FALSE(dialog->isMinimized() || w->isMinimized());
        combo->setEditText("1441");
        dialog->findChild<QPushButton*>("sendRequest")->click();
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_EQ(dialog->hintLabel()->text(), "Enter a whole number of minutes from 1 to 1440.");
        combo->setCurrentIndex(2);
        dialog->findChild<QPushButton*>("sendRequest")->click();
    });
    withModal("Request more time", [](QWidget* m) { qobject_cast<QDialog*>(m)->reject(); });
    // The grant arrives while the child is still choosing: nothing is sent.
    withModal("Request more time", [&](QWidget*) {
        blocker.reset();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    });
    EXPECT_EQ(asked, std::vector<std::int64_t>{60}) << "60 sent; Cancel and a grant send nothing";
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
