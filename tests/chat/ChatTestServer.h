#pragma once

#include <condition_variable>

#include "core/Json.h"
#include "support/FakeService.h"

namespace tarvo::test {

// The chat service on 127.0.0.1, on the shared fake service that records
// every request. Every poll gets every message, as a service may replay them.
class ChatTestServer {
  public:
    ChatTestServer() : service([this](httplib::Server& s) { routes(s); }) {}
    ~ChatTestServer() { holdSends(false); }  // held sends answer before the server goes

    std::string url() const { return service.url(); }
    void addMessage(std::int64_t id, const std::string& from, const std::string& text,
                    const std::string& senderName = "") {
        std::lock_guard lock(mutex_);
        messages_.push_back(
            {{"id", id}, {"from", from}, {"text", text}, {"sentAt", "2026-01-01T09:00:00Z"}});
        if (!senderName.empty()) messages_.back()["senderName"] = senderName;
        nextId_ = std::max(nextId_, id + 1);
    }
    void setParents(std::vector<std::string> names) { set(parents_, std::move(names)); }
    void failPolls(int status) { set(pollStatus_, status); }
    void failSends(int status) { set(sendStatus_, status); }
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
        s.Get("/api/GetChildChatMessages", [this](const auto&, auto& res) {
            std::lock_guard lock(mutex_);
            res.status = pollStatus_;
            if (pollStatus_ != 200) return res.set_content("unavailable", "text/plain");
            json::Json parents = json::Json::array();
            for (const auto& p : parents_) parents.push_back({{"name", p}});
            res.set_content(json::Json{{"messages", messages_}, {"parents", parents}}.dump(),
                            "application/json");
        });
        s.Post("/api/SendChildChatMessage", [this](const auto& req, auto& res) {
            std::unique_lock lock(mutex_);
            released_.wait(lock, [this] { return !holdSends_; });
            res.status = sendStatus_;
            if (sendStatus_ != 200) return res.set_content("try later", "text/plain");
            messages_.push_back({{"id", nextId_++},
                                 {"from", "child"},
                                 {"text", json::parse(req.body).value()["message"]},
                                 {"sentAt", "2026-01-01T10:00:00Z"}});
            res.set_content(json::Json{{"chatMessage", messages_.back()}}.dump(),
                            "application/json");
        });
    }

    std::mutex mutex_;
    std::condition_variable released_;
    std::vector<json::Json> messages_;
    std::vector<std::string> parents_;
    std::int64_t nextId_ = 1;
    int pollStatus_ = 200, sendStatus_ = 200;
    bool holdSends_ = false;

  public:
    FakeService service;  // last: its handlers use everything above
};

}  // namespace tarvo::test
