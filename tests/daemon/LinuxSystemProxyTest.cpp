// This system's web proxy mechanisms against the real tools: nftables in a
// private network namespace, dconf and gsettings with the made /etc/dconf
// bind-mounted over the real one in a private mount namespace; logind's
// records read through sd-login from files laid out over /run/systemd.

#include "core/Paths.h"
#include "core/TarvoLog.h"
#include "platform/system/LinuxSystemProxy.h"
#include "platform/system/SdLoginSessions.h"
#include "support/DaemonFixture.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;
using platform::LinuxSystemProxy;

const platform::ProxyEndpoint kFilter{"127.0.0.1", 8080};
const char* const kLocked =
    "desktop proxy settings: 127.0.0.1:8080, locked (dconf system-db:tarvo)";

// A made root in a network namespace of its own (the firewall table set is
// never the host's), a log, and the tools wrapped so that their runs are counted.
struct LinuxProxyRoot {
    LinuxProxyRoot() {
        ::chmod(dir.path().c_str(), 0755);  // reachable by the child's runs
        for (const std::string real : {"/usr/sbin/nft", "/usr/bin/dconf"}) {
            const std::string tool = dir / fs::path(real).filename();
            writeText(tool, "#!/bin/bash\necho \"$*\" >> '" + tool + ".calls'\nexec " + real +
                                " \"$@\"\n");
            ::chmod(tool.c_str(), 0755);
        }
    }
    size_t calls(const std::string& tool) const {
        return readLines(dir / (tool + ".calls")).size();
    }
    size_t logged(const std::string& prefix) const {
        return daemonLogCount(prefix, dir / "daemon.log");
    }
    LinuxSystemProxy::Options options() const {
        return {std::make_shared<TarvoLog>("daemon", dir / "daemon.log"), dir / "nft",
                dir / "dconf"};
    }

    NetNamespace ns;
    TempDir dir;
    LayoutGuard root{"TARVO_ROOT", dir.path()};
};

// While a child is present its uid opens web connections only to the proxy
// (and to the service the agent talks to); root and other users are not
// touched. What is changed by hand is put back on the next tick, and only
// then is a tool run. A tool that fails is logged once however often the
// ticks retry, and its return once.
TEST(LinuxSystemProxy, ChildReachesTheWebOnlyThroughTheProxyAndHandMadeChangesArePutBack) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
    LinuxProxyRoot root;
    ASSERT_TRUE(root.ns.entered()) << root.ns.error();
    // Addresses of their own for the sites, not in 127.0.0.0/8.
    for (const char* address : {"10.77.0.1/32", "10.77.0.2/32"})
        mustRun({"/usr/sbin/ip", "addr", "add", address, "dev", "lo"});
    LinuxSystemProxy proxy(root.options());
    WebSite service("10.77.0.1", 80), site("10.77.0.2", 80), filter("127.0.0.1", 8080);
    const std::string toService = "http://10.77.0.1/page", toSite = "http://10.77.0.2/page",
                      toFilter = "http://127.0.0.1:8080/page";

    // The child goes around the proxy as long as nothing stops it.
    expectReach({{kNobody, toSite, true}});
    proxy.apply(kFilter, {kNobody});
    const std::string table = nftTable();
    EXPECT_NE(table.find("meta skuid 65534 tcp dport { 80, 443 } reject with tcp reset"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("meta skuid 65534 udp dport 443 reject"), std::string::npos) << table;
    expectReach({{kNobody, toSite, false},
                 {kNobody, toService, false},  // no config.json: no service to let through
                 {kNobody, toFilter, true},
                 {std::nullopt, toSite, true},
                 {kNobody - 1, toSite, true}});
    EXPECT_EQ(proxy.report().items.at(1), "firewall: web only through the proxy for uid 65534");
    EXPECT_EQ(root.calls("nft"), 1u);
    proxy.keep(kFilter, {kNobody});
    EXPECT_EQ(root.calls("nft"), 1u) << "nothing changed, nothing run";

    // Changed by hand, the table is put back on the next tick, and said so once.
    for (const char* change : {"flush chain inet tarvo output", "delete table inet tarvo"}) {
        SCOPED_TRACE(change);
        mustRun({"/usr/sbin/nft", change});
        expectReach({{kNobody, toSite, true}});
        const size_t before = root.calls("nft");
        proxy.keep(kFilter, {kNobody});
        EXPECT_EQ(root.calls("nft"), before + 1);
        expectReach({{kNobody, toSite, false}});
        proxy.keep(kFilter, {kNobody});
        EXPECT_EQ(root.calls("nft"), before + 1);
    }
    EXPECT_EQ(root.logged("[daemon] WARN  firewall table inet tarvo changed"), 2u);

    // The service the agent talks to is let through, and only it; a new
    // child joins the table.
    writeText(Paths::configFile(), R"({"api": "http://10.77.0.1/"})");
    proxy.keep(kFilter, {kNobody - 1, kNobody});
    expectReach({{kNobody, toService, true},
                 {kNobody, toSite, false},
                 {kNobody - 1, toService, true},
                 {kNobody - 1, toSite, false}});
    EXPECT_EQ(proxy.report().items.at(1),
              "firewall: web only through the proxy for uid 65533, 65534");
    const size_t set = root.calls("nft");
    proxy.keep(kFilter, {kNobody, kNobody - 1});
    EXPECT_EQ(root.calls("nft"), set) << "the same children, found in another order";

    proxy.clear();
    EXPECT_EQ(nftTable(), "");
    expectReach({{kNobody, toSite, true}});
    EXPECT_EQ(proxy.report().items.at(1), "firewall: off");
    const size_t cleared = root.calls("nft");
    proxy.clear();
    EXPECT_EQ(root.calls("nft"), cleared) << "no table, nothing to take back";
    EXPECT_EQ(root.logged("[daemon] ERROR"), 0u);

    // The tool missing: one error line however often the ticks retry, the
    // desktop settings still made, and a line when it works again.
    fs::rename(root.dir / "nft", root.dir / "nft.off");
    for (int tick = 0; tick < 3; ++tick) proxy.keep(kFilter, {kNobody});
    EXPECT_EQ(root.logged("[daemon] ERROR firewall: cannot run " + (root.dir / "nft")), 1u);
    EXPECT_EQ(root.logged("[daemon] ERROR"), 1u);
    EXPECT_EQ(proxy.report().items, (std::vector<std::string>{kLocked, "firewall: off"}));
    fs::rename(root.dir / "nft.off", root.dir / "nft");
    proxy.keep(kFilter, {kNobody});
    EXPECT_EQ(root.logged("[daemon] INFO  firewall in force again"), 1u);
    EXPECT_NE(nftTable().find("meta skuid 65534"), std::string::npos);
}

// The desktop's proxy settings: the child's own database says "none", the
// locked system database wins while a child is present, and the child's
// value is back once it is cleared. The profile is extended, never replaced.
TEST(LinuxSystemProxy, LockedDesktopSettingsOutrankTheChildsOwnAndExtendTheProfile) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for mount and network namespaces";
    LinuxProxyRoot root;
    ASSERT_TRUE(root.ns.entered()) << root.ns.error();
    const std::string home = root.dir / "home", runtime = root.dir / "run";
    mustRun({"/bin/bash", "-ec", "mkdir \"$0\" \"$1\"; chown 65534:65534 \"$0\" \"$1\"", home,
             runtime});
    ASSERT_TRUE(
        asNobody("mkdir -p \"$HOME/keys\" \"$HOME/.config/dconf\"\n"
                 "printf \"[system/proxy]\\nmode='none'\\n\" > \"$HOME/keys/own\"\n"
                 "dconf compile \"$HOME/.config/dconf/user\" \"$HOME/keys\"",
                 {"HOME=" + home}));
    // A site database the profile already names.
    const std::string site = Paths::resolve("/etc/dconf/db/site");
    writeText(site + ".d/00-site", "[org/example]\nx=1\n");
    mustRun({"/usr/bin/dconf", "compile", site, site + ".d"});
    const std::string profile = LinuxSystemProxy::profilePath();
    writeText(profile, "user-db:user\nsystem-db:site\n");
    // The child's gsettings, seeing the made /etc/dconf.
    const std::string asChild =
        "mount --bind \"$0\" /etc/dconf\nexec setpriv --reuid=65534 --regid=65534 --clear-groups "
        "env -i PATH=/usr/bin:/bin HOME=" +
        home + " XDG_CONFIG_HOME=" + home + "/.config XDG_RUNTIME_DIR=" + runtime +
        " GSETTINGS_BACKEND=dconf gsettings \"$@\"";
    auto gsettings = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv = {
            "/usr/bin/unshare", "-m", "/bin/sh", "-ec", asChild, Paths::resolve("/etc/dconf")};
        argv.insert(argv.end(), args.begin(), args.end());
        const ProcessResult r = run({.argv = argv});
        EXPECT_TRUE(r.succeeded()) << r.err;
        return std::string(r.out.substr(0, r.out.find('\n')));
    };
    using Expect = std::pair<std::vector<std::string>, std::string>;
    auto expectSettings = [&](const std::vector<Expect>& cases) {
        for (const auto& [args, want] : cases) EXPECT_EQ(gsettings(args), want) << args[1];
    };
    const std::string schema = "org.gnome.system.proxy";
    const std::vector<Expect> childsOwn = {{{"get", schema, "mode"}, "'none'"},
                                           {{"writable", schema, "mode"}, "true"}};
    expectSettings(childsOwn);

    LinuxSystemProxy proxy(root.options());
    proxy.apply(kFilter, {kNobody});
    EXPECT_EQ(readText(profile), "user-db:user\nsystem-db:site\nsystem-db:tarvo\n");
    const std::vector<Expect> locked = {
        {{"get", schema, "mode"}, "'manual'"},
        {{"writable", schema, "mode"}, "false"},
        {{"get", schema + ".http", "host"}, "'127.0.0.1'"},
        {{"get", schema + ".https", "port"}, "8080"},
        {{"writable", schema + ".https", "host"}, "false"},
        {{"get", schema, "ignore-hosts"}, "['localhost', '127.0.0.0/8', '::1']"},
        {{"writable", schema, "ignore-hosts"}, "false"},
    };
    expectSettings(locked);
    EXPECT_EQ(proxy.report().items.at(0), kLocked);
    const size_t compiled = root.calls("dconf");
    proxy.keep(kFilter, {kNobody});
    EXPECT_EQ(root.calls("dconf"), compiled) << "nothing changed, nothing run";

    // The locks removed by hand and the database compiled again: the child
    // could change the mode, until the next tick.
    fs::remove(LinuxSystemProxy::locksPath());
    const std::string db = LinuxSystemProxy::databasePath();
    mustRun({"/usr/bin/dconf", "compile", db, db + ".d"});
    expectSettings({{{"writable", schema, "mode"}, "true"}});
    struct stat before {
    }, after{};
    ::stat(profile.c_str(), &before);
    proxy.keep(kFilter, {kNobody});
    expectSettings(locked);
    ::stat(profile.c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino) << "a profile that names the database is left alone";
    EXPECT_EQ(root.logged("[daemon] WARN  desktop proxy settings changed"), 1u);

    proxy.clear();
    expectSettings(childsOwn);
    EXPECT_FALSE(exists(LinuxSystemProxy::keyfilePath()));
    EXPECT_EQ(readText(profile), "user-db:user\nsystem-db:site\nsystem-db:tarvo\n");
    EXPECT_EQ(proxy.report().items.at(0), "desktop proxy settings: off");
    EXPECT_EQ(root.logged("[daemon] ERROR"), 0u);
}

// The real daemon with this system's mechanisms: a child's flag closes the
// web to that child's uid, SIGTERM opens it again within 2 s.
TEST(LinuxSystemProxy, TheDaemonSetsTheTableForAPresentChildAndTakesItBackOnSigterm) {
    DaemonRoot root;  // in a network namespace of its own
    LayoutGuard platform("TARVO_PLATFORM", std::nullopt);
    Process daemon({.argv = {tarvoBinary(), "daemon"}, .capture = false});
    ASSERT_TRUE(waitUntil([] { return exists(Paths::activeChildrenDir()); }));
    ASSERT_TRUE(asNobody("touch \"" + Paths::activeChildrenDir() + "/501.flag\""));
    // This system's layout: run-time state (the flags' parent, the lock) and
    // downloaded updates are root's alone; the flag directory is open to all.
    const std::string run = fs::path(Paths::activeChildrenDir()).parent_path();
    for (const std::string& path : {run, Paths::updateDir(), Paths::systemLogDir()})
        EXPECT_EQ(entryAt(path), "directory 0755 uid 0") << path;
    EXPECT_EQ(entryAt(Paths::activeChildrenDir()), "directory 1777 uid 0");
    EXPECT_EQ(fs::path(Paths::daemonLockFile()).parent_path().string(), run);
    ASSERT_TRUE(waitUntil([] {
        return nftTable().find("meta skuid 65534 tcp dport { 80, 443 } reject") !=
               std::string::npos;
    })) << readText(Paths::daemonLog());
    EXPECT_EQ(readText(LinuxSystemProxy::profilePath()), "user-db:user\nsystem-db:tarvo\n");
    daemon.kill(SIGTERM);
    EXPECT_TRUE(waitUntil([] { return nftTable().empty(); }, std::chrono::seconds(2)));
    EXPECT_EQ(daemon.wait(), 0);

    // The next daemon takes its lock in the same run-time directory, never
    // replacing it (and the flags inside) with one of its own.
    struct stat before {};
    ASSERT_EQ(::lstat(run.c_str(), &before), 0);
    Process again({.argv = {tarvoBinary(), "daemon"}, .capture = false});
    // Up and running: the flag left from before closes the web again.
    ASSERT_TRUE(waitUntil([] { return nftTable().find("meta skuid 65534") != std::string::npos; }))
        << readText(Paths::daemonLog());
    EXPECT_EQ(readText(Paths::daemonLockFile()), std::to_string(again.pid()) + "\n");
    struct stat after {};
    ASSERT_EQ(::lstat(run.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    again.kill(SIGTERM);
    EXPECT_EQ(again.wait(), 0);
}

TEST(LinuxSystemProxy, ProfileIsExtendedOnlyWhereItDoesNotNameTheDatabase) {
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {std::nullopt, "user-db:user\nsystem-db:tarvo\n"},
        {"user-db:user\nsystem-db:tarvo\n", "user-db:user\nsystem-db:tarvo\n"},
        {"user-db:user\n  system-db:tarvo  \n", "user-db:user\n  system-db:tarvo  \n"},
        {"user-db:user", "user-db:user\nsystem-db:tarvo\n"},
        {"user-db:user\nsystem-db:tarvo2\n", "user-db:user\nsystem-db:tarvo2\nsystem-db:tarvo\n"},
        {"", "system-db:tarvo\n"},
    };
    for (const auto& [existing, want] : cases)
        EXPECT_EQ(LinuxSystemProxy::extendedProfile(existing), want) << existing.value_or("(none)");
}

struct Layout {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;  // under /run/systemd
    std::string sessions;                                    // "id:state …"
    std::string error;                                       // what the error starts with
};

TEST(SdLoginSessions, ReadsEachSessionOfTheUserWithItsState) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
    if (!fs::is_directory("/run/systemd")) GTEST_SKIP() << "no /run/systemd to mount over";
    const std::string user = "users/1001";
    const Layout cases[] = {
        {"in front and logged out",
         {{user, "NAME=kid\nSESSIONS=3 c1\nACTIVE_SESSIONS=3\nONLINE_SESSIONS=3\n"},
          {"sessions/3", "UID=1001\nUSER=kid\nACTIVE=1\nSTATE=active\n"},
          {"sessions/c1", "UID=1001\nUSER=kid\nACTIVE=0\nSTATE=closing\n"}},
         "3:active c1:closing",
         ""},
        {"switched away",
         {{user, "SESSIONS=5\n"}, {"sessions/5", "UID=1001\nSTATE=online\n"}},
         "5:online",
         ""},
        {"never logged in", {{"users/1002", "SESSIONS=9\n"}}, "", ""},
        {"session gone since it was listed", {{user, "SESSIONS=6\n"}}, "", ""},
        {"someone else's session listed",
         {{user, "SESSIONS=7 8\n"},
          {"sessions/7", "UID=1002\nSTATE=active\n"},
          {"sessions/8", "UID=1001\nSTATE=active\n"}},
         "8:active",
         "/run/systemd/sessions/7: belongs to uid 1002, listed in /run/systemd/users/1001"},
        {"a record that cannot be read",
         {{user, "SESSIONS=9 3\n"}, {"sessions/3", "UID=1001\nSTATE=online\n"}},
         "3:online",
         "/run/systemd/sessions/9: Is a directory"},
    };
    for (const Layout& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir run;
        fs::create_directories(run.path() + "/users");
        fs::create_directories(run.path() + "/sessions/9");
        for (const auto& [name, text] : c.files) writeText(run.path() + "/" + name, text);
        const std::string got = inPrivateMounts({{run.path(), "/run/systemd"}}, [] {
            const platform::LoginSessionList list = platform::SdLoginSessions().sessionsOf(1001);
            std::string out;
            for (const auto& s : list.sessions)
                out += (out.empty() ? "" : " ") + s.id + ":" + s.state;
            return out + "|" + list.error;
        });
        EXPECT_EQ(got, c.sessions + "|" + c.error);
    }
}

}  // namespace
}  // namespace tarvo::test
