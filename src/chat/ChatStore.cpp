#include "chat/ChatStore.h"

#include <algorithm>
#include <unordered_set>

#include "core/AtomicFile.h"
#include "core/Paths.h"

namespace tarvo::ChatStore {

std::string path() {
    return Paths::chatHistoryFile();
}

TarvoLog log() {
    return TarvoLog("chat", Paths::agentLog());
}

std::vector<ChatMessage> load() {
    const std::string file = path();
    auto text = readFile(file);
    if (!text || text->empty()) return {};
    auto parsed = json::parse(*text);
    auto messages = parsed ? decodeMessageArray(*parsed) : std::nullopt;
    if (!messages) {
        log().warn("chat history unreadable — starting empty: " + file);
        return {};
    }
    return sortedDeduped(*messages);
}

void save(const std::vector<ChatMessage>& messages) {
    json::Json array = json::Json::array();
    for (const auto& m : messages)
        if (m.id >= 1) array.push_back(m.toJson());
    try {
        const std::string data = array.dump(-1, ' ', false, json::Json::error_handler_t::replace);
        AtomicWriteOptions options;
        options.createDirectories = true;
        replaceFileAtomically(path(), data, options);
    } catch (const std::exception& e) {
        log().warn(std::string("couldn't save chat history: ") + e.what());
    }
}

std::vector<ChatMessage> sortedDeduped(const std::vector<ChatMessage>& messages) {
    std::vector<ChatMessage> stored;
    std::vector<ChatMessage> local;
    std::unordered_set<std::int64_t> seen;
    for (const auto& m : messages) {
        if (m.id < 1)
            local.push_back(m);
        else if (seen.insert(m.id).second)
            stored.push_back(m);
    }
    std::stable_sort(stored.begin(), stored.end(),
                     [](const ChatMessage& a, const ChatMessage& b) { return a.id < b.id; });
    stored.insert(stored.end(), std::make_move_iterator(local.begin()),
                  std::make_move_iterator(local.end()));
    return stored;
}

}  // namespace tarvo::ChatStore
