#pragma once

#include <condition_variable>
#include <optional>

#include "core/Json.h"
#include "support/FakeService.h"

namespace tarvo::test {

// The chat service on 127.0.0.1: keeps messages like the real one does, on
// the shared fake service that records every request.
class ChatTestServer {
  public:
    ChatTestServer() : service_([this](httplib::Server& s) { routes(s); }) {}
    ~ChatTestServer() { holdSends(false); }  // held sends answer before the server goes

    std::string url() const { return service_.url(); }
    std::vector<LocalServer::Received> received(const std::string& path = "") const {
        return service_.requests(path);
    }

    void addMessage(std::int64_t id, const std::string& from, const std::string& text,
                    std::optional<std::string> senderName = std::nullopt) {
        std::lock_guard lock(mutex_);
        json::Json m = {
            {"id", id}, {"from", from}, {"text", text}, {"sentAt", "2026-01-01T09:00:00Z"}};
        if (senderName) m["senderName"] = *senderName;
        messages_.push_back(m);
        nextId_ = std::max(nextId_, id + 1);
    }
    void setParents(std::vector<std::string> names) { set(parents_, std::move(names)); }
    void failPolls(int status, std::string body = "unavailable") {
        set(pollStatus_, status);
        set(pollBody_, std::move(body));
    }
    void setPollBody(std::optional<std::string> body) { set(rawPollBody_, std::move(body)); }
    void replayAll(bool on) { set(replayAll_, on); }  // every poll gets every message
    void setSendBody(std::optional<std::string> body) { set(rawSendBody_, std::move(body)); }
    void failSends(int status) { set(sendStatus_, status); }
    void setMarkReadStatus(int status) {
        service_.answer("/api/MarkChatMessagesRead", status, "{}");
    }
    // Keeps every send waiting for its answer until released.
    void holdSends(bool on) {
        set(holdSends_, on);
        released_.notify_all();
    }

  private:
    template <class T, class V>
    void set(T& field, V&& value) {
        std::lock_guard lock(mutex_);
        field = std::forward<V>(value);
    }
    void routes(httplib::Server& s) {
        s.Get("/api/GetChildChatMessages", [this](const auto& req, auto& res) {
            std::lock_guard lock(mutex_);
            if (pollStatus_ != 200 || rawPollBody_) {
                res.status = pollStatus_;
                return res.set_content(rawPollBody_.value_or(pollBody_), "application/json");
            }
            auto after = json::parseDecimal(req.get_param_value("afterId")).value_or(0);
            json::Json list = json::Json::array(), parents = json::Json::array();
            for (const auto& m : messages_)
                if (json::integer(m, "id").value_or(0) > after || replayAll_) list.push_back(m);
            for (const auto& p : parents_) parents.push_back({{"name", p}});
            res.set_content(json::Json{{"messages", list}, {"parents", parents}}.dump(),
                            "application/json");
        });
        s.Post("/api/SendChildChatMessage", [this](const auto& req, auto& res) {
            std::unique_lock lock(mutex_);
            released_.wait(lock, [this] { return !holdSends_; });
            if (sendStatus_ != 200) {
                res.status = sendStatus_;
                return res.set_content("try later", "text/plain");
            }
            if (rawSendBody_) return res.set_content(*rawSendBody_, "application/json");
            auto body = json::parse(req.body).value_or(json::Json::object());
            json::Json m = {{"id", nextId_++},
                            {"from", "child"},
                            {"text", json::string(body, "message").value_or("")},
                            {"sentAt", "2026-01-01T10:00:00Z"}};
            messages_.push_back(m);
            res.set_content(json::Json{{"chatMessage", m}}.dump(), "application/json");
        });
    }

    std::mutex mutex_;
    std::condition_variable released_;
    std::vector<json::Json> messages_;
    std::vector<std::string> parents_;
    std::int64_t nextId_ = 1;
    int pollStatus_ = 200, sendStatus_ = 200;
    std::string pollBody_;
    std::optional<std::string> rawPollBody_, rawSendBody_;
    bool replayAll_ = false, holdSends_ = false;
    FakeService service_;  // last: its handlers use everything above
};

}  // namespace tarvo::test
