#include "server/ServerClient.h"
#include "core/Text.h"

namespace tarvo {
namespace {

bool isContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Length of the sequence a lead byte starts; 0 for a byte that starts none.
size_t sequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// The second byte of a sequence, which also rules out overlong forms,
// surrogates and code points above U+10FFFF.
bool secondByteFits(unsigned char lead, unsigned char second) {
    switch (lead) {
        case 0xE0:
            return second >= 0xA0 && second <= 0xBF;
        case 0xED:
            return second >= 0x80 && second <= 0x9F;
        case 0xF0:
            return second >= 0x90 && second <= 0xBF;
        case 0xF4:
            return second >= 0x80 && second <= 0x8F;
        default:
            return isContinuation(second);
    }
}

bool validUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto lead = static_cast<unsigned char>(s[i]);
        const size_t len = sequenceLength(lead);
        if (len == 0 || i + len > s.size()) return false;
        if (len > 1) {
            if (!secondByteFits(lead, static_cast<unsigned char>(s[i + 1]))) return false;
            for (size_t k = 2; k < len; ++k)
                if (!isContinuation(static_cast<unsigned char>(s[i + k]))) return false;
        }
        i += len;
    }
    return true;
}

// How many bytes at the end of `s` begin a character that the next chunk may
// complete (0 when the end is not such a beginning).
size_t incompleteTail(std::string_view s) {
    const size_t n = s.size();
    for (size_t k = 1; k <= 3 && k <= n; ++k) {
        const auto c = static_cast<unsigned char>(s[n - k]);
        if (isContinuation(c)) continue;
        const size_t len = sequenceLength(c);
        if (len <= k) return 0;
        if (k >= 2 && !secondByteFits(c, static_cast<unsigned char>(s[n - k + 1]))) return 0;
        return k;
    }
    return 0;
}

}  // namespace

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
        const size_t tail = incompleteTail(bytes);
        if (!validUtf8(bytes.substr(0, bytes.size() - tail))) return false;
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
