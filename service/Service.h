#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Database.h"
#include "EventHub.h"
#include "HttpServer.h"
#include "Network.h"

namespace tarvo::service {

struct Config {
    std::string host = "127.0.0.1";
    // Not 8080: that is where the filtering proxy listens on the same machine.
    int port = 8787;  // 0: any free port
    std::string dataDir = ".";
    // A postgresql:// URL: the database that several instances share; empty:
    // the SQLite file in dataDir.
    std::string database;
    std::string certFile;  // both set: HTTPS
    std::string keyFile;
    std::string updatesDir;  // manifest.json and packages; empty: no updates offered
    std::chrono::milliseconds heartbeat{15000};
    int dataPingEvery = 4;         // every n-th heartbeat also carries a data line
    size_t maxBody = 1024 * 1024;  // bytes
    // Connections held at once; beyond it a connection's request is answered
    // 503 at once. Event streams may take only part of them.
    size_t maxConnections = 1024;
    // Threads: for every connection's I/O, and for the handlers' work.
    unsigned ioThreads = 2;
    unsigned workers = 8;
    unsigned slowWorkers = 2;  // for sign-up and sign-in, which hash a password
    // How long a connection may stay silent before it is closed: within a
    // request, and between requests (the first one included).
    std::chrono::seconds readTimeout{10};
    std::chrono::seconds idleTimeout{5};
    EventHub::Limits streams;
    bool quiet = false;  // no request log lines
    // After n wrong passwords for one e-mail from one address, the next try
    // waits signInDelay * 2^(n-1), at most signInDelay * kSignInDelayCap.
    std::chrono::milliseconds signInDelay{1000};
    // Load balancers whose X-Forwarded-For names the client.
    std::vector<Network> trustedProxies;
};

inline constexpr int kSignInDelayCap = 30;

// A rejected request: its status and the short text of its JSON error.
struct HttpError {
    int status;
    std::string message;
};

// tarvo-service: the service side of the client's contract, the parent's
// pages, and the event stream, on one SQLite database or on a PostgreSQL
// database shared with other instances.
class Service {
  public:
    explicit Service(Config config);
    ~Service();

    // Binds the listening socket; the port bound (useful with port 0).
    int bind();
    // Serves until stop(); false when the server could not run.
    bool run();
    void stop();

    // A demo parent with one child whose ACCOUNT on DEVICE is assigned; the
    // login text. Running it again changes nothing.
    std::string seedDemo(const std::string& deviceId, const std::string& account);

    static constexpr const char* kDemoEmail = "demo@tarvo.local";
    static constexpr const char* kDemoPassword = "tarvo-demo";

    Database& database() { return db_; }
    EventHub& hub() { return hub_; }

  private:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
    struct Session {
        std::int64_t parentId;
        std::int64_t familyId;
        std::string parentName;
        std::string deviceId;  // the computer the parent signed in from, if any
    };
    struct ChildRef {
        std::int64_t id;
        std::int64_t familyId;
        std::string name;
    };

    void routes();
    Handler guard(Handler h);
    void logRequest(const httplib::Request& req, const httplib::Response& res, long ms);

    // Client API.
    void checkIn(const httplib::Request& req, httplib::Response& res);
    void settings(const httplib::Request& req, httplib::Response& res);
    void appLimits(const httplib::Request& req, httplib::Response& res);
    void requestMoreTime(const httplib::Request& req, httplib::Response& res);
    void checkApproval(const httplib::Request& req, httplib::Response& res);
    void usage(const httplib::Request& req, httplib::Response& res);
    void appLimitReached(const httplib::Request& req, httplib::Response& res);
    void setDesktopSettings(const httplib::Request& req, httplib::Response& res);
    void usersForDevice(const httplib::Request& req, httplib::Response& res);
    void childAccountDevices(const httplib::Request& req, httplib::Response& res);
    void chatSend(const httplib::Request& req, httplib::Response& res);
    void chatPoll(const httplib::Request& req, httplib::Response& res);
    void chatMarkRead(const httplib::Request& req, httplib::Response& res);
    void chatStatus(const httplib::Request& req, httplib::Response& res);
    void parentRead(const httplib::Request& req, httplib::Response& res);
    void manifest(const httplib::Request& req, httplib::Response& res);
    void updateFile(const httplib::Request& req, httplib::Response& res);
    void events(const httplib::Request& req, httplib::Response& res);

    // Parent API.
    void signUp(const httplib::Request& req, httplib::Response& res);
    void signIn(const httplib::Request& req, httplib::Response& res);
    void signOut(const httplib::Request& req, httplib::Response& res);
    void overview(const httplib::Request& req, httplib::Response& res);
    void createChild(const httplib::Request& req, httplib::Response& res);
    void saveRules(const httplib::Request& req, httplib::Response& res);
    void saveLimits(const httplib::Request& req, httplib::Response& res);
    void decide(const httplib::Request& req, httplib::Response& res);
    void parentChat(const httplib::Request& req, httplib::Response& res);
    void refresh(const httplib::Request& req, httplib::Response& res);
    void assign(const httplib::Request& req, httplib::Response& res);
    void page(const httplib::Request& req, httplib::Response& res, const std::string& name);

    // Helpers (db_ locked by the caller where noted).
    Session requireSession(const httplib::Request& req);
    std::optional<Session> sessionOf(const httplib::Request& req);
    ChildRef requireChild(const std::string& deviceId, const std::string& account);  // locked
    ChildRef familyChild(const Session& s, std::int64_t childId);                    // locked
    nlohmann::json settingsJson(std::int64_t childId, const std::string& deviceId);  // locked
    std::vector<EventHub::Key> keysOf(std::int64_t childId);                         // locked
    void pushRules(std::int64_t childId);
    void pushForceUpdate(std::int64_t childId);
    // Queues `data` on the streams of `keys` here and on every other instance
    // on the same database; whether a stream here took it. `grant` (a more-time
    // request's id, or 0) is claimed before a stream may take it.
    bool broadcast(const std::vector<EventHub::Key>& keys, const std::string& data,
                   std::int64_t grant = 0);
    // One change: `data` for the streams of `keys`, and the grant it carries.
    struct Change {
        std::vector<EventHub::Key> keys;
        std::string data;
        std::int64_t grant = 0;
    };
    // Several at once: one notice for the other instances.
    bool broadcast(const std::vector<Change>& changes);
    bool deliver(const std::vector<EventHub::Key>& keys, const std::string& data,
                 std::int64_t grant);
    void onNotice(const std::string& payload);
    void setSessionCookie(httplib::Response& res, const std::string& token, int maxAge);
    std::int64_t createParent(const std::string& email, const std::string& name,
                              const std::string& password);  // locked
    std::pair<std::string, std::string> openSession(std::int64_t parentId,
                                                    const std::string& deviceId);  // locked

    // The address a request comes from, behind trusted proxies.
    std::string clientAddress(const httplib::Request& req) const;

    // Failed sign-ins per lower-cased e-mail and source address: a child at
    // the parent's sign-in page does not get to guess the password at machine
    // speed, and cannot keep the parent out for longer than the longest delay.
    // Each try is counted before its password is checked, so parallel guesses
    // wait like sequential ones; none when the try may go ahead, else the wait.
    std::optional<std::chrono::milliseconds> reserveSignIn(const std::string& email,
                                                           const std::string& address);
    void signInSucceeded(const std::string& email, const std::string& address);

    Config config_;
    const std::string instanceId_;
    Database db_;
    EventHub hub_;
    std::unique_ptr<HttpServer> server_;
    bool tls_ = false;
};

}  // namespace tarvo::service
