// The chat window offscreen: rows and bubbles, the header, hiding and its
// geometry.
#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTextEdit>

#include "chat/qt/ChatStyle.h"
#include "chat_qt/ChatQtFixture.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;

struct RowView {
    QString name, text, status;
    QRect row, bubble;
    QColor bubbleColour, statusColour;
};

RowView inspect(QWidget* row) {
    auto* status = row->findChild<QLabel*>("status");
    RowView v{row->findChild<QLabel*>("name")->text(),
              row->findChild<QTextEdit*>("text")->toPlainText(), status->text(), row->rect(),
              row->findChild<QWidget*>("bubble")->geometry()};
    // What is really painted just inside the bubble's leading edge.
    v.bubbleColour = row->grab().toImage().pixelColor(v.bubble.x() + 6, v.bubble.center().y());
    v.statusColour = status->palette().color(QPalette::WindowText);
    return v;
}

bool near(const QColor& a, const QColor& b) {
    return std::abs(a.red() - b.red()) <= 3 && std::abs(a.green() - b.green()) <= 3 &&
           std::abs(a.blue() - b.blue()) <= 3;
}

using ChatWindowTest = ChatQtTest;

TEST_F(ChatWindowTest, RowsShowEveryStateOnTheirSideWithTheNameRules) {
    server.addMessage(1, "parent", "from dad", "Dad");
    server.addMessage(2, "PARENT", "no name given");
    server.addMessage(3, "child", std::string(200, 'x'));
    start();
    window->open();
    queue.advance(0ms);
    settle();
    ASSERT_EQ(window->rowWidgets().size(), 3u);
    EXPECT_EQ(inspect(window->rowWidgets()[1]).name, "Parent") << "before any name is known";

    server.setParents({"Mum", "Dad"});
    pollNow();
    EXPECT_EQ(window->titleLabel()->text(), "Mum, Dad & emma");
    EXPECT_EQ(window->avatarLabel()->text(), "EM");
    server.failSends(503);
    QTest::keyClicks(window->input(), "  <b>not</b> through  ");
    QTest::keyClick(window->input(), Qt::Key_Return);
    settle();
    EXPECT_EQ(window->input()->text(), "<b>not</b> through") << "back in the field for a retry";
    server.failSends(200);
    window->input()->setText("still going");
    window->sendButton()->click();  // left unanswered: pending
    settleFor(20ms);

    const struct {
        const char* name;
        std::string text;
        const char* status;
        bool child, red;
    } expected[] = {
        {"Dad", "from dad", "9:00 AM  ✓✓", false, false},
        {"Mum", "no name given", "9:00 AM  ✓✓", false, false},
        {"emma", std::string(200, 'x'), "9:00 AM  ✓✓", true, false},
        {"emma", "<b>not</b> through", "12:00 AM  not sent — tap send to retry", true, true},
        {"emma", "still going", "12:00 AM  sending…", true, false},
    };
    const auto rows = window->rowWidgets();
    ASSERT_EQ(rows.size(), std::size(expected));
    const int oneLine = inspect(rows[0]).bubble.height();
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        const RowView v = inspect(rows[i]);
        const auto& e = expected[i];
        EXPECT_EQ(v.name, QString::fromUtf8(e.name));
        EXPECT_EQ(v.text.toStdString(), e.text);
        EXPECT_EQ(v.status, QString::fromUtf8(e.status));
        EXPECT_EQ(v.row.width(), window->scrollArea()->widget()->width() - 28);
        EXPECT_LE(v.bubble.width(), 300);
        EXPECT_EQ(e.child ? v.bubble.right() : v.bubble.left(), e.child ? v.row.right() : 0);
        EXPECT_TRUE(near(v.bubbleColour, e.child ? chatqt::teal() : QColor(Qt::white)))
            << v.bubbleColour.name().toStdString();
        EXPECT_EQ(v.statusColour == chatqt::systemRed(), e.red);
    }
    EXPECT_GT(inspect(rows[2]).bubble.height(), 2 * oneLine) << "a long word is broken";
}

TEST_F(ChatWindowTest, ClosingHidesAndOpeningShowsTheConversationAtTheBottom) {
    for (int id = 1; id <= 30; ++id)
        server.addMessage(id, id % 2 ? "parent" : "child", "message " + std::to_string(id));
    start();
    queue.advance(0ms);
    settle();
    EXPECT_FALSE(window->window()->isVisible());  // built hidden
    EXPECT_TRUE(window->backdropLoaded());
    EXPECT_NE(log().find("}} backdrop=loaded"), std::string::npos) << log();
    EXPECT_TRUE(window->rowWidgets().empty());  // and draws nothing until opened
    window->open();
    QScrollBar* bar = window->scrollArea()->verticalScrollBar();
    ASSERT_TRUE(waitUntil([&] { return bar->maximum() > 0 && bar->value() == bar->maximum(); }));
    EXPECT_FALSE(window->window()->close());  // refused: hidden instead
    EXPECT_FALSE(window->window()->isVisible());
    bar->triggerAction(QAbstractSlider::SliderToMinimum);
    server.addMessage(31, "parent", "while hidden");
    QPointer<QWidget> firstRow = window->rowWidgets().front();
    pollNow();
    window->open();
    EXPECT_EQ(window->rowWidgets().front(), firstRow.data());  // only the new row is built
    ASSERT_EQ(window->rowWidgets().size(), 31u);
    EXPECT_TRUE(waitUntil([&] { return bar->value() == bar->maximum() && bar->value() > 0; }));

    // Destroyed from outside, it is built again with the same conversation.
    delete window->window();
    window->open();
    ASSERT_NE(window->window(), nullptr);
    EXPECT_TRUE(window->window()->isVisible());
    EXPECT_EQ(window->rowWidgets().size(), 31u);
}

TEST_F(ChatWindowTest, GeometryAndItsLogLineWithACorruptBackdrop) {
    TempDir resources;
    writeText(resources / "chat2.png",
              readText(sourceDir() + "/resources/chat2.png").substr(0, 200));
    start(resources.path());
    QWidget* w = window->window();
    // At most 620 high, 40 less than the screen's room, centred on it.
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const QSize size(440, std::min(620, area.height() - 40));
    EXPECT_EQ(w->geometry(), QRect(area.topLeft() + QPoint((area.width() - 440) / 2,
                                                           (area.height() - size.height()) / 2),
                                   size));
    EXPECT_EQ(w->minimumSize(), QSize(380, 460));
    EXPECT_FALSE(window->backdropLoaded());
    const std::string line = "[chat] INFO  chat window frame={{" + std::to_string(w->x()) + ", " +
                             std::to_string(w->y()) + "}, {440, " + std::to_string(size.height()) +
                             "}} backdrop=MISSING";
    EXPECT_NE(log().find(line), std::string::npos) << log();
}

}  // namespace
}  // namespace tarvo::test
