// tarvo-service: the reference service for the Tarvo client.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "Service.h"

namespace {

const char* kUsage = R"(usage: tarvo-service [options]

The service side of Tarvo: the client's API, the event stream, the parent's
pages (Signin, AssignDesktopUsers, dashboard), stored in one SQLite database.

options:
  --listen HOST:PORT      where to listen (default 127.0.0.1:8787; port 0 picks a free one)
  --data DIR              where the database lives (default: the current directory)
  --cert FILE --key FILE  serve HTTPS with this certificate chain and private key
  --updates DIR           offer DIR/manifest.json as the update manifest, and the
                          files of DIR under /updates/NAME (no DIR: no update, 404)
  --seed-demo DEVICE_ID:ACCOUNT
                          create (once) a demo parent with one child whose ACCOUNT on
                          the computer DEVICE_ID is assigned, print its login, then serve
  --heartbeat SECONDS     event-stream heartbeat interval (default 15)
  --quiet                 no request log lines
  --help                  this text

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
        } else if (a == "--quiet") {
            config.quiet = true;
        } else {
            return fail("unknown option " + a + " (see --help)");
        }
    }
    if (config.certFile.empty() != config.keyFile.empty())
        return fail("--cert and --key go together");
    ::mkdir(config.dataDir.c_str(), 0700);
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
