// The time-left card on the offscreen platform: text, geometry, replacement
// and the 15-second close on virtual time.
#include <QLabel>
#include <QScreen>

#include "core/VirtualTime.h"
#include "ui/TimeWarningPopup.h"
#include "ui/UiFixture.h"
#include "ui/UiStyle.h"

namespace tarvo::test {
namespace {

using ui::TimeWarningPopup;

int visibleCards() {
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<ui::TimeWarningCard*>(w) && w->isVisible()) ++n;
    return n;
}

QString shownMessage(const TimeWarningPopup& popup) {
    auto* label = popup.window() ? popup.window()->findChild<QLabel*>("message") : nullptr;
    return label ? label->text() : QString();
}

class TimeWarningTest : public ::testing::Test {
  protected:
    explicit TimeWarningTest(std::vector<QRect> screens = {QRect(0, 0, 1280, 800)})
        : app_(std::move(screens)) {}
    OffscreenApp app_;
    VirtualMainQueue queue;
};

TEST_F(TimeWarningTest, SaysHowManyMinutesAreLeft) {
    TimeWarningPopup popup(queue);
    for (auto [n, text] :
         std::vector<std::pair<int, const char*>>{{1, "You have 1 minute of screen time left."},
                                                  {5, "You have 5 minutes of screen time left."},
                                                  {0, "You have 0 minutes of screen time left."}}) {
        popup.show(n);
        EXPECT_EQ(shownMessage(popup), text);
    }
}

TEST_F(TimeWarningTest, CardSitsTopRightOfThePrimaryAvailableAreaInItsFonts) {
    TimeWarningPopup popup(queue);
    popup.show(5);
    QWidget* card = popup.window();
    ASSERT_TRUE(card);
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(card->geometry(), QRect(area.right() + 1 - 360 - 24, area.top() + 24, 360, 96));
    EXPECT_TRUE(card->windowFlags() & Qt::WindowDoesNotAcceptFocus);
    EXPECT_TRUE(card->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(card->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(card->testAttribute(Qt::WA_ShowWithoutActivating));

    auto* title = card->findChild<QLabel*>("title");
    auto* message = card->findChild<QLabel*>("message");
    ASSERT_TRUE(title && message);
    EXPECT_EQ(title->text(), "Tarvo");
    EXPECT_EQ(title->pos(), QPoint(16, 12));
    EXPECT_EQ(title->font().pixelSize(), 12);
    EXPECT_EQ(title->font().weight(), QFont::DemiBold);
    EXPECT_EQ(title->palette().color(QPalette::WindowText), ui::grey(0.7));
    EXPECT_EQ(message->x(), 16);
    EXPECT_EQ(message->width(), 328);
    EXPECT_EQ(message->y(), title->y() + title->height() + 6);
    EXPECT_EQ(message->font().pixelSize(), 15);
    EXPECT_EQ(message->font().weight(), QFont::Medium);
    EXPECT_EQ(message->palette().color(QPalette::WindowText), QColor(Qt::white));
    EXPECT_TRUE(message->wordWrap());

    // The rounded dark panel: corners clear, the middle at 95 % of (0.10, 0.12, 0.18).
    const QImage image = card->grab().toImage();
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
    const QColor middle = image.pixelColor(180, 90);
    EXPECT_NEAR(middle.alphaF(), 0.95, 0.01);
}

TEST_F(TimeWarningTest, ASecondCardReplacesTheFirst) {
    TimeWarningPopup popup(queue);
    popup.show(5);
    popup.show(2);
    EXPECT_EQ(visibleCards(), 1);
    EXPECT_EQ(shownMessage(popup), "You have 2 minutes of screen time left.");
}

TEST_F(TimeWarningTest, ClosesAfterFifteenSecondsEachCardItsOwnFull15) {
    TimeWarningPopup popup(queue);
    popup.show(5);
    queue.advance(std::chrono::milliseconds(14999));
    EXPECT_EQ(visibleCards(), 1);
    queue.advance(std::chrono::milliseconds(1));
    EXPECT_EQ(visibleCards(), 0);
    EXPECT_EQ(popup.window(), nullptr);
    EXPECT_EQ(queue.activeTimers(), 0u);

    popup.show(5);
    queue.advance(std::chrono::seconds(10));
    popup.show(4);
    queue.advance(std::chrono::seconds(10));  // 20 s after the first, 10 after the second
    EXPECT_EQ(visibleCards(), 1);
    queue.advance(std::chrono::seconds(5));
    EXPECT_EQ(visibleCards(), 0);
    EXPECT_EQ(queue.activeTimers(), 0u);
}

TEST_F(TimeWarningTest, CloseLeavesNoCardAndNoTimer) {
    TimeWarningPopup popup(queue);
    popup.show(5);
    popup.close();
    popup.close();
    EXPECT_EQ(visibleCards(), 0);
    EXPECT_FALSE(popup.closeScheduled());
    EXPECT_EQ(queue.activeTimers(), 0u);
}

class TwoScreenWarningTest : public TimeWarningTest {
  protected:
    TwoScreenWarningTest()
        : TimeWarningTest({QRect(0, 0, 1280, 800), QRect(1280, 0, 1920, 1080)}) {}
};

TEST_F(TwoScreenWarningTest, OnlyOnThePrimaryScreen) {
    TimeWarningPopup popup(queue);
    popup.show(3);
    ASSERT_TRUE(popup.window());
    EXPECT_EQ(popup.window()->screen(), QGuiApplication::primaryScreen());
    EXPECT_TRUE(QRect(0, 0, 1280, 800).contains(popup.window()->geometry()));
    EXPECT_EQ(visibleCards(), 1);
}

}  // namespace
}  // namespace tarvo::test
