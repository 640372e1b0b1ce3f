#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTextEdit>
#include <regex>

#include "chat/qt/ChatStyle.h"
#include "chat_qt/ChatQtFixture.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;

struct RowView {
    QString name, text, status;
    QRect row, bubble, nameBox, statusBox;
    QColor bubbleColour, statusColour;
};

RowView inspect(QWidget* row) {
    RowView v;
    auto* name = row->findChild<QLabel*>("name");
    auto* bubble = row->findChild<QWidget*>("bubble");
    auto* text = row->findChild<QTextEdit*>("text");
    auto* status = row->findChild<QLabel*>("status");
    v.name = name->text();
    v.text = text->toPlainText();
    v.status = status->text();
    v.row = row->rect();
    v.bubble = bubble->geometry();
    v.nameBox = name->geometry().marginsRemoved(name->contentsMargins());
    v.statusBox = status->geometry().marginsRemoved(status->contentsMargins());
    // What is really painted just inside the bubble's leading edge.
    const QImage picture = row->grab().toImage();
    v.bubbleColour = picture.pixelColor(v.bubble.x() + 6, v.bubble.center().y());
    v.statusColour = status->palette().color(QPalette::WindowText);
    return v;
}

bool near(const QColor& a, const QColor& b) {
    return std::abs(a.red() - b.red()) <= 3 && std::abs(a.green() - b.green()) <= 3 &&
           std::abs(a.blue() - b.blue()) <= 3;
}

using ChatWindowTest = ChatQtTest;

TEST_F(ChatWindowTest, RowsShowEveryStateOnBothSidesWithTheNameRules) {
    server.addMessage(1, "parent", "from dad", "Dad");
    server.addMessage(2, "PARENT", "no name given");
    server.addMessage(3, "child", "mine, stored");
    start();
    window->open();
    queue.advance(0ms);
    settle();
    // Before any parent's name is known a nameless parent message says "Parent".
    ASSERT_EQ(window->rowWidgets().size(), 3u);
    EXPECT_EQ(inspect(window->rowWidgets()[1]).name, "Parent");

    server.setParents({"Mum", "Dad"});
    pollNow();
    server.failSends(503);
    QTest::keyClicks(window->input(), "  not through  ");
    QTest::keyClick(window->input(), Qt::Key_Return);
    settle();
    // The failed text is back in the field for a retry.
    EXPECT_EQ(window->input()->text(), "not through");
    server.failSends(200);
    window->input()->setText("still going");
    window->sendButton()->click();  // left unanswered: pending
    pump(20);

    struct Expect {
        const char* name;
        const char* text;
        const char* status;
        bool childSide;
        bool red;
    };
    const Expect expected[] = {
        {"Dad", "from dad", "9:00 AM  ✓✓", false, false},
        {"Mum", "no name given", "9:00 AM  ✓✓", false, false},
        {"emma", "mine, stored", "9:00 AM  ✓✓", true, false},
        {"emma", "not through", "12:00 AM  not sent — tap send to retry", true, true},
        {"emma", "still going", "12:00 AM  sending…", true, false},
    };
    const auto rows = window->rowWidgets();
    ASSERT_EQ(rows.size(), std::size(expected));
    const int stackWidth = window->scrollArea()->widget()->width();
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        const RowView v = inspect(rows[i]);
        const Expect& e = expected[i];
        EXPECT_EQ(v.name, QString::fromUtf8(e.name));
        EXPECT_EQ(v.text, QString::fromUtf8(e.text));
        EXPECT_EQ(v.status, QString::fromUtf8(e.status));
        EXPECT_EQ(v.row.width(), stackWidth - 28);
        if (e.childSide) {
            EXPECT_EQ(v.bubble.right(), v.row.right());
            EXPECT_EQ(v.nameBox.right(), v.row.right() - 4);
            EXPECT_EQ(v.statusBox.right(), v.row.right() - 4);
            EXPECT_TRUE(near(v.bubbleColour, chatqt::teal()))
                << v.bubbleColour.name().toStdString();
        } else {
            EXPECT_EQ(v.bubble.left(), 0);
            EXPECT_EQ(v.nameBox.left(), 4);
            EXPECT_EQ(v.statusBox.left(), 4);
            EXPECT_TRUE(near(v.bubbleColour, Qt::white)) << v.bubbleColour.name().toStdString();
        }
        EXPECT_EQ(v.bubble.top(), v.nameBox.bottom() + 1 + 4);
        EXPECT_EQ(v.statusBox.top(), v.bubble.bottom() + 1 + 3);
        EXPECT_EQ(v.statusBox.bottom(), v.row.bottom());
        EXPECT_EQ(v.statusColour == chatqt::systemRed(), e.red);
    }
}

TEST_F(ChatWindowTest, BubblesWrapWithinTheirWidthAndKeepTextAsIs) {
    const std::string longWord(200, 'x');
    const std::string markup = "<b>not bold</b> & <a href='x'>no link</a>";
    server.addMessage(1, "parent", "hi");
    server.addMessage(2, "parent",
                      "A sentence long enough to need more than one line in the bubble.");
    server.addMessage(3, "child", longWord);
    server.addMessage(4, "child", markup);
    start();
    window->open();
    queue.advance(0ms);
    settle();
    const auto rows = window->rowWidgets();
    ASSERT_EQ(rows.size(), 4u);
    const RowView shortOne = inspect(rows[0]), sentence = inspect(rows[1]), word = inspect(rows[2]),
                  html = inspect(rows[3]);
    const int oneLine = shortOne.bubble.height();
    EXPECT_LT(shortOne.bubble.width(), 100);
    // A sentence fills the bubble's 300 before it wraps.
    EXPECT_GT(sentence.bubble.width(), 280);
    EXPECT_LE(sentence.bubble.width(), 300);
    EXPECT_GT(sentence.bubble.height(), oneLine);
    // An unbreakable word is broken, never widening the bubble past 300.
    EXPECT_LE(word.bubble.width(), 300);
    EXPECT_GT(word.bubble.height(), 2 * oneLine);
    EXPECT_EQ(word.text.toStdString(), longWord);
    EXPECT_EQ(html.text.toStdString(), markup);
}

TEST_F(ChatWindowTest, HeaderShowsAvatarTitleWithParentsAndConnectionLine) {
    start();
    EXPECT_EQ(window->avatarLabel()->text(), "EM");
    EXPECT_EQ(window->titleLabel()->text(), "emma");
    EXPECT_EQ(window->subtitleLabel()->text(), "Connecting…");

    const struct {
        std::vector<std::string> parents;
        int pollStatus;
        const char* title;
        const char* subtitle;
    } steps[] = {
        {{"Mum"}, 200, "Mum & emma", "Last synced: just now"},
        {{"Mum", "Dad"}, 200, "Mum, Dad & emma", "Last synced: just now"},
        {{"Mum", "Dad"}, 503, "Mum, Dad & emma", "Reconnecting…"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.title);
        server.setParents(step.parents);
        server.failPolls(step.pollStatus);
        pollNow();
        EXPECT_EQ(window->titleLabel()->text(), QString::fromUtf8(step.title));
        EXPECT_EQ(window->subtitleLabel()->text(), QString::fromUtf8(step.subtitle));
    }
}

TEST_F(ChatWindowTest, ReturnAndTheSendButtonBothSendAndAResendLeavesOneBubble) {
    start();
    window->open();
    queue.advance(0ms);
    settle();
    QTest::keyClicks(window->input(), "hello");
    QTest::keyClick(window->input(), Qt::Key_Return);
    EXPECT_EQ(window->input()->text(), "");
    settle();
    server.failSends(503);
    window->input()->setText("again");
    QTest::mouseClick(window->sendButton(), Qt::LeftButton);
    settle();
    ASSERT_EQ(window->rows().size(), 2u);
    EXPECT_TRUE(window->rows()[1].failed);
    EXPECT_EQ(window->input()->text(), "again");

    server.failSends(200);
    QTest::mouseClick(window->sendButton(), Qt::LeftButton);
    settle();
    std::vector<std::string> texts;
    for (const auto& r : server.received("/api/SendChildChatMessage"))
        texts.push_back(json::string(*json::parse(r.body), "message").value_or(""));
    EXPECT_EQ(texts, (std::vector<std::string>{"hello", "again", "again"}));
    ASSERT_EQ(window->rowWidgets().size(), 2u);
    EXPECT_EQ(inspect(window->rowWidgets()[1]).text, "again");
    EXPECT_EQ(inspect(window->rowWidgets()[1]).status, "10:00 AM  ✓✓");  // the service's time
}

TEST_F(ChatWindowTest, ClosingHidesAndOpeningShowsTheSameConversationAtTheBottom) {
    for (int id = 1; id <= 30; ++id)
        server.addMessage(id, id % 2 ? "parent" : "child", "message " + std::to_string(id));
    start();
    queue.advance(0ms);
    settle();
    EXPECT_FALSE(window->window()->isVisible());  // built hidden
    EXPECT_TRUE(window->rowWidgets().empty());    // and draws nothing until opened
    EXPECT_EQ(window->rows().size(), 30u);
    window->open();
    QScrollBar* bar = window->scrollArea()->verticalScrollBar();
    ASSERT_TRUE(pumpUntil([&] { return bar->maximum() > 0 && bar->value() == bar->maximum(); }));

    EXPECT_FALSE(window->window()->close());  // refused: hidden instead
    EXPECT_FALSE(window->window()->isVisible());
    ASSERT_NE(window->window(), nullptr);
    bar->triggerAction(QAbstractSlider::SliderToMinimum);
    EXPECT_EQ(bar->value(), 0);

    server.addMessage(31, "parent", "while hidden");
    QPointer<QWidget> firstRow = window->rowWidgets().front();
    pollNow();
    window->open();
    EXPECT_EQ(window->rowWidgets().front(), firstRow.data());  // only the new row is built
    EXPECT_TRUE(window->window()->isVisible());
    ASSERT_EQ(window->rowWidgets().size(), 31u);
    EXPECT_EQ(inspect(window->rowWidgets().back()).text, "while hidden");
    EXPECT_TRUE(pumpUntil([&] { return bar->value() == bar->maximum() && bar->value() > 0; }));
}

TEST_F(ChatWindowTest, WindowGeometryAndItsLogLine) {
    for (const char* backdrop : {"whole", "missing", "corrupt"}) {
        SCOPED_TRACE(backdrop);
        const bool withBackdrop = backdrop == std::string("whole");
        TempDir resources;
        if (backdrop == std::string("corrupt")) {
            // A PNG that ends after its first bytes.
            const std::string png = readText(sourceDir() + "/resources/chat2.png");
            writeText(resources / "chat2.png", png.substr(0, 200));
        }
        start(withBackdrop ? sourceDir() + "/resources" : resources.path());
        QWidget* w = window->window();
        // At most 620 high, 40 less than the screen's room, centred on it.
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        const QSize size(440, std::min(620, area.height() - 40));
        EXPECT_EQ(w->size(), size);
        EXPECT_EQ(w->pos(), area.topLeft() + QPoint((area.width() - size.width()) / 2,
                                                    (area.height() - size.height()) / 2));
        EXPECT_EQ(w->minimumSize(), QSize(380, 460));
        EXPECT_EQ(w->maximumSize(), QSize(900, 1200));
        EXPECT_EQ(w->windowTitle(), "Chat");
        EXPECT_EQ(window->backdropLoaded(), withBackdrop);
        const std::string line = "chat window frame={{" + std::to_string(w->x()) + ", " +
                                 std::to_string(w->y()) + "}, {440, " +
                                 std::to_string(size.height()) +
                                 "}} backdrop=" + (withBackdrop ? "loaded" : "MISSING");
        EXPECT_NE(log().find("[chat] INFO  " + line), std::string::npos) << log();

        window->open();
        w->resize(600, 700);
        pump(20);
        const QRect send = window->sendButton()->geometry();
        EXPECT_EQ(send, QRect(600 - 14 - 48, 700 - 14 - 48, 48, 48));
        const QRect bar = window->input()->parentWidget()->geometry();
        EXPECT_EQ(bar, QRect(14, 700 - 14 - 48, send.x() - 10 - 14, 48));
        const QRect scroll = window->scrollArea()->geometry();
        EXPECT_EQ(scroll, QRect(0, 74, 600, bar.y() - 10 - 74));
        EXPECT_EQ(window->avatarLabel()->geometry(), QRect(76, 16, 42, 42));
        EXPECT_EQ(window->titleLabel()->geometry().left(), 76 + 42 + 12);
        EXPECT_EQ(window->input()->placeholderText(), "Type message…");
        EXPECT_EQ(window->sendButton()->accessibleName(), "Send");
        window.reset();
        chat.reset();
    }
}

TEST_F(ChatWindowTest, StateIsSeenOnlyWhileShownActiveAndNotMinimised) {
    start();
    EXPECT_FALSE(window->windowState().seen());
    window->open();
    ASSERT_TRUE(pumpUntil([&] { return window->windowState().seen(); }));
    window->window()->showMinimized();
    pump(20);
    EXPECT_TRUE(window->windowState().miniaturised);
    EXPECT_FALSE(window->windowState().seen());
    window->open();
    ASSERT_TRUE(pumpUntil([&] { return window->windowState().seen(); }));
    window->window()->close();
    EXPECT_FALSE(window->windowState().visible);
    EXPECT_FALSE(window->windowState().seen());
}

TEST_F(ChatWindowTest, AWindowDestroyedFromOutsideIsBuiltAgainWhenOpened) {
    server.setParents({"Mum"});
    server.addMessage(1, "parent", "hello", "Mum");
    start();
    queue.advance(0ms);
    settle();
    delete window->window();
    window->open();
    ASSERT_NE(window->window(), nullptr);
    EXPECT_TRUE(window->window()->isVisible());
    EXPECT_EQ(window->titleLabel()->text(), "Mum & emma");
    EXPECT_EQ(window->subtitleLabel()->text(), "Last synced: just now");
    ASSERT_EQ(window->rowWidgets().size(), 1u);
    EXPECT_EQ(inspect(window->rowWidgets()[0]).text, "hello");
}

}  // namespace
}  // namespace tarvo::test
