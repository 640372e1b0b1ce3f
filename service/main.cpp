// tarvo-service: the reference service for the Tarvo client.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "Service.h"

namespace {

const char* kUsage = R"(usage: tarvo-service [options]

The service side of Tarvo: the client's API, the event stream, the parent's
pages (Signin, AssignDesktopUsers, dashboard), stored in one SQLite database, or
in a PostgreSQL database that several instances share.

options:
  --listen HOST:PORT      where to listen (default 127.0.0.1:8787; port 0 picks a free one)
  --data DIR              where the database lives (default: the current directory)
  --database postgresql://USER@HOST:PORT/NAME
                          keep the data in PostgreSQL instead (any libpq URL); every
                          instance on the same database serves the same families, and
                          a change made through one reaches the streams of all
  --cert FILE --key FILE  serve HTTPS with this certificate chain and private key
  --updates DIR           offer DIR/manifest.json as the update manifest, and the
                          files of DIR under /updates/NAME (no DIR: no update, 404)
  --seed-demo DEVICE_ID:ACCOUNT
                          create (once) a demo parent with one child whose ACCOUNT on
                          the computer DEVICE_ID is assigned, print its login, then serve
  --heartbeat SECONDS     event-stream heartbeat interval (default 15)
  --idle-timeout SECONDS  close a connection silent this long (1 to 600; default 5 s
                          before and between requests, 10 s within one)
  --trusted-proxy CIDR    a load balancer (address or network; repeatable): for its
                          connections the client's address is the right-most hop of
                          X-Forwarded-For that is no trusted proxy
  --max-connections N     connections held at once (default 1024); more are answered 503
  --max-streams N         event streams open at once, in all (default 256, at most half
                          of --max-connections: the rest stay free for short calls)
  --max-streams-per-address N
                          event streams from one client address (default 32)
  --max-streams-per-device N
                          event streams for one computer (default 8; 4 per account)
  --sign-in-delay MS      wait after a wrong password for one e-mail from one address
                          (default 1000); it doubles with each further failure, up to
                          30 times this (30 s)
  --quiet                 no request log lines
  --help                  this text

Connections beyond --max-connections at once, and event streams beyond their limits or for a
computer and account the parent has not set up, are answered 503 (404) at once.
Each computer may store 20000 usage samples, 500 chat messages and 2000 app-limit
reports in any 24 hours (more: 429).

One line per request goes to standard error: time, method, path, status, milliseconds.
The port actually bound is printed on standard output as "listening on http(s)://HOST:PORT".
)";

int fail(const std::string& message) {
    std::cerr << "tarvo-service: " << message << "\n";
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    tarvo::service::Config config;
    std::string seed;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (a == "--listen") {
            std::string v;
            if (!value(v)) return fail("--listen needs HOST:PORT");
            const auto colon = v.rfind(':');
            if (colon == std::string::npos) return fail("--listen needs HOST:PORT");
            config.host = v.substr(0, colon);
            try {
                config.port = std::stoi(v.substr(colon + 1));
            } catch (const std::exception&) {
                return fail("bad port in --listen " + v);
            }
            if (config.port < 0 || config.port > 65535) return fail("bad port in --listen " + v);
        } else if (a == "--data") {
            if (!value(config.dataDir)) return fail("--data needs a directory");
        } else if (a == "--database") {
            if (!value(config.database) ||
                !tarvo::service::Database::isPostgresUrl(config.database))
                return fail("--database needs a postgresql:// URL");
        } else if (a == "--cert") {
            if (!value(config.certFile)) return fail("--cert needs a file");
        } else if (a == "--key") {
            if (!value(config.keyFile)) return fail("--key needs a file");
        } else if (a == "--updates") {
            if (!value(config.updatesDir)) return fail("--updates needs a directory");
        } else if (a == "--seed-demo") {
            if (!value(seed) || seed.find(':') == std::string::npos)
                return fail("--seed-demo needs DEVICE_ID:ACCOUNT");
        } else if (a == "--heartbeat") {
            std::string v;
            if (!value(v)) return fail("--heartbeat needs seconds");
            try {
                const double s = std::stod(v);
                if (!(s > 0 && s <= 3600)) throw std::invalid_argument("range");
                config.heartbeat = std::chrono::milliseconds(static_cast<long>(s * 1000));
            } catch (const std::exception&) {
                return fail("bad --heartbeat " + v);
            }
        } else if (a == "--idle-timeout") {
            std::string v;
            if (!value(v)) return fail("--idle-timeout needs seconds");
            const long s = std::strtol(v.c_str(), nullptr, 10);
            if (s < 1 || s > 600 || v.find_first_not_of("0123456789") != std::string::npos)
                return fail("bad --idle-timeout " + v);
            config.readTimeout = config.idleTimeout = std::chrono::seconds(s);
        } else if (a == "--trusted-proxy") {
            std::string v;
            auto network = value(v) ? tarvo::service::Network::parse(v) : std::nullopt;
            if (!network) return fail("--trusted-proxy needs an address or CIDR network");
            config.trustedProxies.push_back(*network);
        } else if (a == "--max-streams" || a == "--max-connections" ||
                   a == "--max-streams-per-address" || a == "--max-streams-per-device" ||
                   a == "--sign-in-delay") {
            std::string v;
            long n = 0;
            try {
                if (!value(v)) throw std::invalid_argument("missing");
                size_t used = 0;
                n = std::stol(v, &used);
                if (used != v.size()) throw std::invalid_argument("trailing");
            } catch (const std::exception&) {
                return fail(a + " needs a number");
            }
            const long most = a == "--max-connections" ? 1000000 : 100000;
            if (n < 1 || n > most)
                return fail(a + " must lie between 1 and " + std::to_string(most));
            if (a == "--max-connections") config.maxConnections = static_cast<size_t>(n);
            if (a == "--max-streams") config.streams.total = static_cast<size_t>(n);
            if (a == "--max-streams-per-address")
                config.streams.perAddress = static_cast<size_t>(n);
            if (a == "--max-streams-per-device") config.streams.perDevice = static_cast<size_t>(n);
            if (a == "--sign-in-delay") config.signInDelay = std::chrono::milliseconds(n);
        } else if (a == "--quiet") {
            config.quiet = true;
        } else {
            return fail("unknown option " + a + " (see --help)");
        }
    }
    if (config.certFile.empty() != config.keyFile.empty())
        return fail("--cert and --key go together");
    if (config.streams.total > config.maxConnections / 2)
        return fail("--max-streams must lie between 1 and " +
                    std::to_string(config.maxConnections / 2) + " (half of --max-connections)");
    ::mkdir(config.dataDir.c_str(), 0700);
    // A descriptor for every connection the service takes: as many as allowed.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
        if (files.rlim_cur < files.rlim_max) {
            const rlim_t was = files.rlim_cur;
            files.rlim_cur = files.rlim_max;
            if (::setrlimit(RLIMIT_NOFILE, &files) != 0) files.rlim_cur = was;
        }
        std::cerr << "tarvo-service: open files allowed: " << files.rlim_cur << "\n";
        if (files.rlim_cur != RLIM_INFINITY && files.rlim_cur < config.maxConnections + 64)
            std::cerr << "tarvo-service: fewer open files allowed than --max-connections "
                      << config.maxConnections << " needs; connections beyond them wait\n";
    }
    signal(SIGPIPE, SIG_IGN);
    // SIGTERM and SIGINT are taken by a thread of their own (sigwait), so
    // stopping runs as ordinary code, not inside a signal handler. Blocked
    // before any other thread starts, so every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        tarvo::service::Service service(config);
        if (!seed.empty()) {
            const auto colon = seed.rfind(':');
            std::cout << service.seedDemo(seed.substr(0, colon), seed.substr(colon + 1)) << "\n";
        }
        const int port = service.bind();
        std::cout << "listening on " << (config.certFile.empty() ? "http" : "https") << "://"
                  << config.host << ":" << port << "\n"
                  << std::flush;
        std::thread stopper([&] {
            int sig = 0;
            sigwait(&stopSignals, &sig);
            service.stop();
        });
        const bool ok = service.run();
        // A failed run ends the waiting thread with a signal of our own.
        if (!ok) pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
        return ok ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "tarvo-service: " << e.what() << "\n";
        return 1;
    }
}
