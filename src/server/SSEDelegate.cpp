#include "core/Text.h"
#include "server/ServerClient.h"

namespace tarvo {

SSEDelegate::SSEDelegate(std::function<void(const std::string&)> onBlock, const TarvoLog* log)
    : onBlock_(std::move(onBlock)), log_(log) {}

void SSEDelegate::didReceive(std::string_view chunk) {
    // Blocks are cut from the bytes as they come: a separator never occurs
    // inside a multi-byte character, so a character split between chunks
    // simply waits for its end, and a broken byte spoils only its own block.
    buffer_.append(chunk);
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
        if (!text::isValidUtf8(block)) {
            if (log_)
                log_->warn("SSE event dropped: " + std::to_string(block.size()) +
                           " bytes that are not UTF-8");
            continue;
        }

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
