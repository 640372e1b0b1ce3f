#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "server/ServerClient.h"

namespace tarvo {

struct SSESession::State {
    State(std::string u, TarvoLog l) : url(std::move(u)), log(std::move(l)) {}
    std::string url;
    TarvoLog log;
    std::atomic<bool> cancelled{false};
    std::atomic<std::thread::id> streamThread{};
    std::mutex mutex;
    std::condition_variable cv;
    bool finished = false;
};

SSESession::SSESession(std::shared_ptr<State> state) : state_(std::move(state)) {}

SSESession::~SSESession() {
    cancel();
}

void SSESession::cancel() {
    state_->cancelled.store(true);
    // From the stream's own callbacks: the stream stops once they return.
    if (state_->streamThread.load() == std::this_thread::get_id()) return;
    std::unique_lock lock(state_->mutex);
    state_->cv.wait(lock, [&] { return state_->finished; });
}

bool SSESession::running() const {
    std::lock_guard lock(state_->mutex);
    return !state_->finished;
}

const std::string& SSESession::url() const {
    return state_->url;
}

void ServerClient::parseSSEBlock(std::string_view payload,
                                 const std::function<void(const SSEEvent&)>& handler) {
    if (auto event = classifySSEPayload(payload, deviceId_, &log_)) handler(*event);
}

std::shared_ptr<SSESession> ServerClient::subscribeEvents(
    std::function<void()> onActivity, std::function<void(const SSEEvent&)> handler) {
    auto state = std::make_shared<SSESession::State>(
        net::withQuery(net::appendPath(api_, "api/notifications/sse-direct"),
                       {{"userId", username_}, {"deviceId", deviceId_}}),
        log_);
    std::weak_ptr<ServerClient> weakClient = weak_from_this();

    std::thread([state, weakClient, onActivity = std::move(onActivity),
                 handler = std::move(handler)] {
        state->streamThread.store(std::this_thread::get_id());
        SSEDelegate delegate(
            [&](const std::string& payload) {
                if (state->cancelled.load()) return;
                if (onActivity) onActivity();
                if (state->cancelled.load()) return;
                // The client is held weakly: once it is gone the payload is not parsed.
                if (auto client = weakClient.lock()) client->parseSSEBlock(payload, handler);
            },
            &state->log);

        net::Request request;
        request.method = "GET";
        request.url = state->url;
        request.headers.emplace_back("Accept", "text/event-stream");
        // The stream has no time-out of its own: the agent notices silence and reconnects.
        request.idleTimeout = std::chrono::hours(24 * 365);
        long status = 0;
        request.onStatus = [&](long s) {
            status = s;
            return s >= 200 && s <= 299;
        };
        request.onData = [&](std::string_view chunk) {
            if (state->cancelled.load()) return false;
            delegate.didReceive(chunk);
            return !state->cancelled.load();
        };
        request.cancelled = [&] { return state->cancelled.load(); };
        try {
            net::Response response = net::perform(request);
            if (response.status) status = response.status;
            if (!state->cancelled.load()) {
                if (status < 200 || status > 299)
                    state->log.warn("SSE stream answered HTTP " + std::to_string(status));
                else
                    state->log.debug("SSE stream closed by the server");
            }
        } catch (const std::exception& e) {
            if (!state->cancelled.load())
                state->log.debug(std::string("SSE stream failed: ") + e.what());
        }
        std::lock_guard lock(state->mutex);
        state->finished = true;
        state->cv.notify_all();
    }).detach();

    log_.info("SSE subscribed to " + state->url);
    return std::shared_ptr<SSESession>(new SSESession(state));
}

}  // namespace tarvo
