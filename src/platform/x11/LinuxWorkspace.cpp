#include "platform/x11/LinuxWorkspace.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tarvo::platform {

namespace {

// A window that vanished between the client list and the property read makes
// the server answer BadWindow; Xlib's default handler would end the process.
int ignoreXError(Display*, XErrorEvent*) {
    return 0;
}

void installErrorHandler() {
    static std::once_flag once;
    std::call_once(once, [] { XSetErrorHandler(ignoreXError); });
}

}  // namespace

struct LinuxWorkspace::X11 {
    Display* dpy = nullptr;
    Window root = 0;
    Atom clientList = 0, activeWindow = 0, wmPid = 0, windowType = 0, wmState = 0, skipTaskbar = 0;
    std::map<Atom, std::string> typeNames;

    static std::unique_ptr<X11> open(const std::string& name) {
        if (name.empty()) return nullptr;
        installErrorHandler();
        Display* dpy = XOpenDisplay(name.c_str());
        if (!dpy) return nullptr;
        auto x = std::make_unique<X11>();
        x->dpy = dpy;
        x->root = DefaultRootWindow(dpy);
        auto atom = [dpy](const char* n) { return XInternAtom(dpy, n, False); };
        x->clientList = atom("_NET_CLIENT_LIST");
        x->activeWindow = atom("_NET_ACTIVE_WINDOW");
        x->wmPid = atom("_NET_WM_PID");
        x->windowType = atom("_NET_WM_WINDOW_TYPE");
        x->wmState = atom("_NET_WM_STATE");
        x->skipTaskbar = atom("_NET_WM_STATE_SKIP_TASKBAR");
        for (const char* t : {"NORMAL", "DIALOG", "DOCK", "DESKTOP", "TOOLBAR", "MENU", "UTILITY",
                              "SPLASH", "NOTIFICATION"})
            x->typeNames[atom((std::string("_NET_WM_WINDOW_TYPE_") + t).c_str())] = t;
        return x;
    }
    ~X11() {
        if (dpy) XCloseDisplay(dpy);
    }

    // A property of 32-bit items (windows, atoms, cardinals).
    std::vector<unsigned long> longs(Window w, Atom property, Atom type) const {
        Atom actualType = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        std::vector<unsigned long> out;
        if (XGetWindowProperty(dpy, w, property, 0, 4096, False, type, &actualType, &format, &count,
                               &after, &data) == Success &&
            data && format == 32) {
            // Xlib hands 32-bit items over as longs.
            const auto* items = reinterpret_cast<const unsigned long*>(data);
            out.assign(items, items + count);
        }
        if (data) XFree(data);
        return out;
    }
    std::optional<std::string> bytes(Window w, Atom property) const {
        Atom actualType = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        std::optional<std::string> out;
        if (XGetWindowProperty(dpy, w, property, 0, 4096, False, AnyPropertyType, &actualType,
                               &format, &count, &after, &data) == Success &&
            data && format == 8)
            out = std::string(reinterpret_cast<const char*>(data), count);
        if (data) XFree(data);
        return out;
    }

    WindowInfo info(Window w) const {
        WindowInfo info;
        auto pid = longs(w, wmPid, XA_CARDINAL);
        if (!pid.empty() && pid[0] > 0 && pid[0] < 0x7fffffff)
            info.pid = static_cast<pid_t>(pid[0]);
        if (auto raw = bytes(w, XA_WM_CLASS)) {
            if (auto parsed = parseWmClass(*raw)) {
                info.instance = parsed->first;
                info.className = parsed->second;
            }
        }
        for (auto a : longs(w, windowType, XA_ATOM)) {
            auto it = typeNames.find(a);
            info.types.push_back(it == typeNames.end() ? "OTHER" : it->second);
        }
        for (auto a : longs(w, wmState, XA_ATOM))
            if (a == skipTaskbar) info.skipTaskbar = true;
        return info;
    }

    std::optional<RunningApp> frontmost() const {
        auto active = longs(root, activeWindow, XA_WINDOW);
        if (active.empty() || active[0] == 0) return std::nullopt;
        auto apps = appsFromWindows({info(active[0])});
        if (apps.empty()) return std::nullopt;
        return apps[0];
    }
};

LinuxWorkspace::LinuxWorkspace() : LinuxWorkspace(Options{}) {}

LinuxWorkspace::LinuxWorkspace(Options options) : options_(std::move(options)) {
    if (options_.display) {
        displayName_ = *options_.display;
    } else if (const char* d = std::getenv("DISPLAY")) {
        displayName_ = d;
    }
    query_ = X11::open(displayName_);
}

LinuxWorkspace::~LinuxWorkspace() {
    if (watcher_.joinable()) {
        const char byte = 0;
        [[maybe_unused]] auto n = ::write(wakePipe_[1], &byte, 1);
        watcher_.join();
    }
    for (int fd : wakePipe_)
        if (fd >= 0) ::close(fd);
}

bool LinuxWorkspace::connected() const {
    return query_ != nullptr;
}

std::vector<RunningApp> LinuxWorkspace::runningApplications() {
    std::lock_guard lock(queryMutex_);
    if (!query_) return {};
    std::vector<WindowInfo> windows;
    for (auto w : query_->longs(query_->root, query_->clientList, XA_WINDOW))
        windows.push_back(query_->info(w));
    auto apps = appsFromWindows(windows);
    for (auto& app : apps) app = withStart(std::move(app));
    return apps;
}

std::optional<RunningApp> LinuxWorkspace::frontmostApplication() {
    std::lock_guard lock(queryMutex_);
    if (!query_) return std::nullopt;
    auto app = query_->frontmost();
    if (app) app = withStart(std::move(*app));
    return app;
}

Workspace::ObserverId LinuxWorkspace::addActivationObserver(ActivationHandler handler) {
    std::lock_guard lock(observersMutex_);
    observers_[++lastObserver_] = std::move(handler);
    // The watcher starts with the first observer and lives as long as the workspace.
    if (!watcher_.joinable() && connected() && ::pipe2(wakePipe_, O_CLOEXEC) == 0)
        watcher_ = std::thread([this] { watch(); });
    return lastObserver_;
}

void LinuxWorkspace::removeActivationObserver(ObserverId id) {
    std::lock_guard lock(observersMutex_);
    observers_.erase(id);
}

void LinuxWorkspace::notify(const std::optional<RunningApp>& app) {
    std::lock_guard lock(observersMutex_);
    auto observers = observers_;
    for (auto& [id, handler] : observers)
        if (observers_.count(id)) handler(app);
}

void LinuxWorkspace::watch() {
    // A connection of its own: Xlib connections are not shared across threads here.
    auto x = X11::open(displayName_);
    if (!x) return;
    XSelectInput(x->dpy, x->root, PropertyChangeMask);
    XFlush(x->dpy);
    auto last = x->frontmost();
    for (;;) {
        bool changed = false;
        while (XPending(x->dpy) > 0) {
            XEvent event;
            XNextEvent(x->dpy, &event);
            if (event.type == PropertyNotify && event.xproperty.atom == x->activeWindow)
                changed = true;
        }
        if (changed) {
            auto now = x->frontmost();
            // Focus moving between windows of one application is no activation.
            const bool same =
                now && last && now->pid == last->pid && now->bundleId == last->bundleId;
            if (!same && (now || last)) {
                last = now;
                if (now) now = withStart(std::move(*now));
                notify(now);
            }
            // Reading the properties may have queued further events that
            // the socket no longer signals: look at the queue again first.
            continue;
        }
        pollfd fds[2] = {{ConnectionNumber(x->dpy), POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || fds[1].revents) return;
        if (fds[0].revents & (POLLHUP | POLLERR)) return;
    }
}

std::optional<LinuxWorkspace::ProcStat> LinuxWorkspace::procStat(pid_t pid) const {
    std::ifstream in(options_.procRoot + "/" + std::to_string(pid) + "/stat");
    if (!in) return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    return parseProcStat(text.str());
}

RunningApp LinuxWorkspace::withStart(RunningApp app) const {
    if (app.pid > 0)
        if (auto stat = procStat(app.pid)) app.processStart = stat->startTime;
    return app;
}

bool LinuxWorkspace::sameProcess(const RunningApp& app) const {
    if (app.pid <= 0) return false;  // never signal a process group
    auto stat = procStat(app.pid);
    if (!stat || stat->state == 'Z' || stat->state == 'X') return false;
    return app.processStart == 0 || stat->startTime == app.processStart;
}

bool LinuxWorkspace::terminate(const RunningApp& app) {
    return sameProcess(app) && ::kill(app.pid, SIGTERM) == 0;
}

bool LinuxWorkspace::forceTerminate(const RunningApp& app) {
    return sameProcess(app) && ::kill(app.pid, SIGKILL) == 0;
}

bool LinuxWorkspace::isTerminated(const RunningApp& app) {
    if (app.pid <= 0) return false;  // unknown process: nothing can be said
    return !sameProcess(app);
}

std::optional<std::pair<std::string, std::string>> LinuxWorkspace::parseWmClass(
    std::string_view raw) {
    const auto first = raw.find('\0');
    if (first == std::string_view::npos) return std::nullopt;
    std::string_view rest = raw.substr(first + 1);
    const auto second = rest.find('\0');
    if (second != std::string_view::npos) {
        // Anything after the class's NUL is not WM_CLASS.
        if (second + 1 != rest.size()) return std::nullopt;
        rest = rest.substr(0, second);
    }
    return std::make_pair(std::string(raw.substr(0, first)), std::string(rest));
}

ActivationPolicy LinuxWorkspace::policyFor(const WindowInfo& window) {
    if (window.skipTaskbar) return ActivationPolicy::accessory;
    if (window.types.empty()) return ActivationPolicy::regular;
    // The first type the window manager understands is the one that counts.
    const std::string& type = window.types.front();
    return type == "NORMAL" || type == "DIALOG" ? ActivationPolicy::regular
                                                : ActivationPolicy::accessory;
}

std::vector<RunningApp> LinuxWorkspace::appsFromWindows(const std::vector<WindowInfo>& windows) {
    std::vector<RunningApp> apps;
    for (const auto& w : windows) {
        if (!w.pid || *w.pid <= 0) continue;
        std::optional<std::string> id =
            w.className && !w.className->empty() ? w.className : w.instance;
        if (!id || id->empty()) continue;
        auto it = std::find_if(apps.begin(), apps.end(),
                               [&](const RunningApp& a) { return a.pid == *w.pid; });
        const ActivationPolicy policy = policyFor(w);
        if (it != apps.end()) {
            if (policy == ActivationPolicy::regular) it->policy = policy;
            continue;
        }
        apps.push_back(RunningApp{*w.pid, id, id, policy, 0});
    }
    return apps;
}

std::optional<LinuxWorkspace::ProcStat> LinuxWorkspace::parseProcStat(std::string_view text) {
    // "pid (comm) S ppid ..." where comm may hold blanks and parentheses: the
    // fields start after the last ')'.
    const auto close = text.rfind(')');
    if (close == std::string_view::npos || text.find('(') == std::string_view::npos)
        return std::nullopt;
    std::istringstream fields{std::string(text.substr(close + 1))};
    ProcStat stat;
    if (!(fields >> stat.state)) return std::nullopt;
    // state is field 3; starttime is field 22, the 19th after the state.
    std::string field;
    for (int i = 4; i < 22; ++i)
        if (!(fields >> field)) return std::nullopt;
    std::string start;
    if (!(fields >> start)) return std::nullopt;
    const char* end = start.data() + start.size();
    auto [ptr, ec] = std::from_chars(start.data(), end, stat.startTime);
    if (ec != std::errc() || ptr != end) return std::nullopt;
    return stat;
}

}  // namespace tarvo::platform
