// The tray chat item on a private X server, with and without a tray host.
#include <QSystemTrayIcon>

#include "core/Paths.h"
#include "ui/ChatStatusItem.h"
#include "ui/UiFixture.h"

namespace tarvo::test {
namespace {

const char* kNoTray = "no system tray — chat icon appears when a tray host starts";

int logLinesWith(const std::string& text) {
    int n = 0;
    if (!exists(Paths::agentLog())) return 0;
    for (const auto& line : readLines(Paths::agentLog()))
        if (line.find(text) != std::string::npos) ++n;
    return n;
}

// Clicks the middle of the icon where the tray host shows it.
void click(const XServer& x, const QRect& where) {
    x.run({"xdotool", "mousemove", std::to_string(where.center().x()),
           std::to_string(where.center().y()), "click", "1"});
}

TEST(TrayTest, WithATrayHostTheBubbleShowsAndAClickOpensTheChat) {
    TempRoot root;
    XServer x({.trayHost = true});
    ASSERT_TRUE(x.running() && x.error().empty()) << x.error();
    auto app = xcbApp(x);
    int clicks = 0;
    {
        ui::ChatStatusItem item([&] { ++clicks; });
        QSystemTrayIcon* tray = item.trayIcon();
        EXPECT_EQ(tray->toolTip(), "Chat with parent");
        EXPECT_FALSE(tray->icon().isNull());
        ASSERT_TRUE(waitUntil([&] { return tray->geometry().isValid(); }));
        EXPECT_EQ(logLinesWith(kNoTray), 0);
        settleFor(std::chrono::milliseconds(200));
        click(x, tray->geometry());
        EXPECT_TRUE(waitUntil([&] { return clicks == 1; }));
    }
    app.reset();
}

TEST(TrayTest, WithoutATrayHostOneWarningThenTheIconAppearsWithTheHost) {
    TempRoot root;
    XServer x;
    ASSERT_TRUE(x.running() && x.error().empty()) << x.error();
    auto app = xcbApp(x);
    {
        ui::ChatStatusItem item([] {});
        settleFor(std::chrono::milliseconds(200));
        EXPECT_FALSE(item.trayIcon()->geometry().isValid());
        EXPECT_EQ(logLinesWith(std::string("WARN  ") + kNoTray), 1);
        ASSERT_TRUE(x.startTrayHost());
        EXPECT_TRUE(waitUntil([&] { return item.trayIcon()->geometry().isValid(); }));
        EXPECT_EQ(logLinesWith(kNoTray), 1);
    }
    app.reset();
}

}  // namespace
}  // namespace tarvo::test
