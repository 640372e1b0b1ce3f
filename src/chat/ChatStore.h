#pragma once

#include <string>
#include <vector>

#include "chat/ChatMessage.h"
#include "core/TarvoLog.h"

namespace tarvo::ChatStore {

// The conversation kept across agent restarts, one JSON array in
// "~/Library/Application Support/Tarvo/Chat/messages.json". Only messages the
// service has stored (id 1 and above) are written.

std::string path();

// The stored history, de-duplicated and ordered; empty when the file is
// missing, empty or unreadable (a corrupt file is logged and replaced at the
// next save).
std::vector<ChatMessage> load();

// Replaces the history file, atomically, with the stored messages of
// `messages` in their order. Failures are logged; the old file then stays.
void save(const std::vector<ChatMessage>& messages);

// The first message of each positive id (later copies dropped), and every
// local message (id 0 or below). Positive ids come first, in ascending order;
// local messages follow in the order they were given, which is the order the
// child wrote them.
std::vector<ChatMessage> sortedDeduped(const std::vector<ChatMessage>& messages);

// Category "chat", in the agent's log file.
TarvoLog log();

}  // namespace tarvo::ChatStore
