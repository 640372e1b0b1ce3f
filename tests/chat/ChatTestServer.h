#pragma once

#include <httplib.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/Json.h"
#include "support/LocalServer.h"

namespace tarvo::test {

// A chat service on 127.0.0.1 that keeps messages like the real one does and
// records every request it receives.
class ChatTestServer {
  public:
    struct Received {
        std::string method;
        std::string path;
        std::map<std::string, std::string> query;
        std::string body;
        std::string contentType;
    };

    ChatTestServer() {
        local_.server.Get("/api/GetChildChatMessages", [this](const auto& req, auto& res) {
            std::lock_guard lock(mutex_);
            if (pollStatus_ != 200) {
                res.status = pollStatus_;
                res.set_content(pollBody_, "text/plain");
                return;
            }
            if (rawPollBody_) {
                res.set_content(*rawPollBody_, "application/json");
                return;
            }
            std::int64_t after = json::parseDecimal(req.get_param_value("afterId")).value_or(0);
            json::Json list = json::Json::array();
            for (const auto& m : messages_)
                if (json::integer(m, "id").value_or(0) > after || replayAll_) list.push_back(m);
            json::Json parents = json::Json::array();
            for (const auto& p : parents_) parents.push_back({{"name", p}});
            res.set_content(json::Json{{"messages", list}, {"parents", parents}}.dump(),
                            "application/json");
        });
        local_.server.Post("/api/SendChildChatMessage", [this](const auto& req, auto& res) {
            std::unique_lock lock(mutex_);
            released_.wait(lock, [this] { return !holdSends_; });
            if (sendStatus_ != 200) {
                res.status = sendStatus_;
                res.set_content("try later", "text/plain");
                return;
            }
            if (rawSendBody_) {
                res.set_content(*rawSendBody_, "application/json");
                return;
            }
            auto body = json::parse(req.body).value_or(json::Json::object());
            json::Json m = {{"id", nextId_++},
                            {"from", "child"},
                            {"text", json::string(body, "message").value_or("")},
                            {"sentAt", "2026-01-01T10:00:00Z"}};
            messages_.push_back(m);
            res.set_content(json::Json{{"chatMessage", m}}.dump(), "application/json");
        });
        local_.server.Post("/api/MarkChatMessagesRead", [this](const auto&, auto& res) {
            std::lock_guard lock(mutex_);
            res.status = markReadStatus_;
            res.set_content("{}", "application/json");
        });
        local_.server.Post("/api/ReportChatClientStatus", [this](const auto&, auto& res) {
            std::lock_guard lock(mutex_);
            res.set_content("{}", "application/json");
        });
        local_.start();
    }

    // Held sends are answered before the server (and the lock they wait on) goes.
    ~ChatTestServer() {
        holdSends(false);
        local_.stop();
    }

    std::string url() const { return local_.url(); }

    // A parent's (or the child's) message stored on the service.
    void addMessage(std::int64_t id, const std::string& from, const std::string& text,
                    std::optional<std::string> senderName = std::nullopt) {
        std::lock_guard lock(mutex_);
        json::Json m = {
            {"id", id}, {"from", from}, {"text", text}, {"sentAt", "2026-01-01T09:00:00Z"}};
        if (senderName) m["senderName"] = *senderName;
        messages_.push_back(m);
        nextId_ = std::max(nextId_, id + 1);
    }
    void setParents(std::vector<std::string> names) {
        std::lock_guard lock(mutex_);
        parents_ = std::move(names);
    }
    void failPolls(int status, std::string body = "unavailable") {
        std::lock_guard lock(mutex_);
        pollStatus_ = status;
        pollBody_ = std::move(body);
    }
    void setPollBody(std::optional<std::string> body) {
        std::lock_guard lock(mutex_);
        rawPollBody_ = std::move(body);
    }
    // Answers every poll with all messages, whatever its afterId.
    void replayAll(bool on) {
        std::lock_guard lock(mutex_);
        replayAll_ = on;
    }
    void setSendBody(std::optional<std::string> body) {
        std::lock_guard lock(mutex_);
        rawSendBody_ = std::move(body);
    }
    // Keeps every send waiting for its answer until released.
    void holdSends(bool on) {
        {
            std::lock_guard lock(mutex_);
            holdSends_ = on;
        }
        released_.notify_all();
    }
    void failSends(int status) {
        std::lock_guard lock(mutex_);
        sendStatus_ = status;
    }
    void setMarkReadStatus(int status) {
        std::lock_guard lock(mutex_);
        markReadStatus_ = status;
    }

    std::vector<Received> received(const std::string& path = "") const {
        std::vector<Received> out;
        for (const auto& r : local_.received()) {
            if (!path.empty() && r.path != path) continue;
            Received mine{r.method, r.path, {}, r.body, ""};
            if (auto it = r.headers.find("Content-Type"); it != r.headers.end())
                mine.contentType = it->second;
            if (auto q = r.target.find('?'); q != std::string::npos) {
                httplib::Params params;
                httplib::detail::parse_query_text(r.target.substr(q + 1), params);
                for (const auto& [k, v] : params) mine.query[k] = v;
            }
            out.push_back(std::move(mine));
        }
        return out;
    }

  private:
    LocalServer local_;
    mutable std::mutex mutex_;
    std::vector<json::Json> messages_;
    std::vector<std::string> parents_;
    std::int64_t nextId_ = 1;
    int pollStatus_ = 200;
    std::string pollBody_;
    std::optional<std::string> rawPollBody_;
    bool replayAll_ = false;
    std::optional<std::string> rawSendBody_;
    int sendStatus_ = 200;
    bool holdSends_ = false;
    std::condition_variable released_;
    int markReadStatus_ = 200;
};

}  // namespace tarvo::test
