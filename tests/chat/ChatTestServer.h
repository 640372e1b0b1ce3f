#pragma once

#include <atomic>

#include "core/Json.h"
#include "support/FakeService.h"

namespace tarvo::test {

// The chat service on 127.0.0.1, on the shared fake service that records
// every request. Every poll gets every message, as a service may replay them.
class ChatTestServer {
  public:
    ChatTestServer() : service([this](httplib::Server& s) { routes(s); }) {}

    void addMessage(std::int64_t id, const std::string& from, const std::string& text,
                    const std::string& senderName = "") {
        std::lock_guard lock(mutex_);
        messages_.push_back(
            {{"id", id}, {"from", from}, {"text", text}, {"sentAt", "2026-01-01T09:00:00Z"}});
        if (!senderName.empty()) messages_.back()["senderName"] = senderName;
        nextId_ = std::max(nextId_, id + 1);
    }
    void setParents(const std::vector<std::string>& names) {
        std::lock_guard lock(mutex_);
        parents_ = json::Json::array();
        for (const auto& name : names) parents_.push_back({{"name", name}});
    }
    std::atomic<int> pollStatus = 200, sendStatus = 200;  // what polls and sends answer
    std::atomic<bool> numberSends = true;  // false: a send's answer leaves out the stored number

  private:
    void routes(httplib::Server& s) {
        s.Get("/api/GetChildChatMessages", [this](const auto&, auto& res) {
            std::lock_guard lock(mutex_);
            res.status = pollStatus;
            if (pollStatus != 200) return res.set_content("unavailable", "text/plain");
            res.set_content(json::Json{{"messages", messages_}, {"parents", parents_}}.dump(),
                            "application/json");
        });
        s.Post("/api/SendChildChatMessage", [this](const auto& req, auto& res) {
            std::lock_guard lock(mutex_);
            res.status = sendStatus;
            if (sendStatus != 200) return res.set_content("try later", "text/plain");
            messages_.push_back({{"id", nextId_++},
                                 {"from", "child"},
                                 {"text", json::parse(req.body).value()["message"]},
                                 {"sentAt", "2026-01-01T10:00:00Z"}});
            json::Json stored = messages_.back();
            if (!numberSends) stored.erase("id");
            res.set_content(json::Json{{"chatMessage", stored}}.dump(), "application/json");
        });
    }

    std::mutex mutex_;
    std::vector<json::Json> messages_;
    json::Json parents_ = json::Json::array();
    std::int64_t nextId_ = 1;

  public:
    FakeService service;  // last: its handlers use everything above
};

}  // namespace tarvo::test
