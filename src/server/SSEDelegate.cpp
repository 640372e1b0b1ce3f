#include "core/Text.h"
#include "server/ServerClient.h"

namespace tarvo {

SSEDelegate::SSEDelegate(std::function<void(const std::string&)> onBlock, const TarvoLog* log)
    : onBlock_(std::move(onBlock)), log_(log) {}

void SSEDelegate::didReceive(std::string_view chunk) {
    // A character split between two chunks is held back until its last byte
    // arrives, rather than losing the chunk (and the events in it).
    const bool held = !pending_.empty();
    std::string data = pending_;
    pending_.clear();
    data.append(chunk);
    auto accept = [this](std::string_view bytes) {
        const size_t tail = text::incompleteUtf8Tail(bytes);
        if (!text::isValidUtf8(bytes.substr(0, bytes.size() - tail))) return false;
        buffer_.append(bytes.substr(0, bytes.size() - tail));
        pending_.assign(bytes.substr(bytes.size() - tail));
        return true;
    };
    // A held-back beginning the chunk does not complete was itself broken:
    // it goes, and the chunk is judged on its own.
    if (!accept(data) && !(held && accept(chunk))) {
        if (log_)
            log_->warn("SSE chunk dropped: " + std::to_string(chunk.size()) +
                       " bytes that are not UTF-8");
        return;
    }
    cutBlocks();
}

void SSEDelegate::cutBlocks() {
    size_t pos = 0;
    for (;;) {
        const size_t lf = buffer_.find("\n\n", pos);
        const size_t crlf = buffer_.find("\r\n\r\n", pos);
        if (lf == std::string::npos && crlf == std::string::npos) break;
        const bool lfFirst = lf < crlf;
        const size_t sep = lfFirst ? lf : crlf;
        const std::string_view block(buffer_.data() + pos, sep - pos);
        pos = sep + (lfFirst ? 2 : 4);

        std::string payload;
        bool any = false;
        size_t start = 0;
        while (start <= block.size()) {
            size_t end = block.find('\n', start);
            if (end == std::string_view::npos) end = block.size();
            const std::string_view line = text::trimSpaces(block.substr(start, end - start));
            start = end + 1;
            if (line.substr(0, 5) != "data:") continue;
            if (any) payload += '\n';
            payload += text::trimSpaces(line.substr(5));
            any = true;
        }
        if (any) onBlock_(payload);
    }
    buffer_.erase(0, pos);
    if (buffer_.size() > kMaxBuffer) {
        if (log_)
            log_->warn("SSE buffer passed " + std::to_string(kMaxBuffer) +
                       " bytes without an event boundary — discarded");
        buffer_.clear();
    }
}

}  // namespace tarvo
