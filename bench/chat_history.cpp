// The chat keeps its whole history (no limit) and rewrites it after every
// merge and send; a poll answer is parsed every 30 seconds. These figures show
// what that costs as the conversation grows.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>

#include "chat/ChatService.h"
#include "chat/ChatStore.h"

namespace {

std::vector<tarvo::ChatMessage> conversation(std::int64_t count) {
    std::vector<tarvo::ChatMessage> out;
    const auto start = tarvo::fromUnixSeconds(1'767'225'600);
    for (std::int64_t i = count; i >= 1; --i)
        out.push_back({i, i % 3 ? "parent" : "child",
                       "message number " + std::to_string(i) + " about dinner and homework",
                       start + std::chrono::seconds(i),
                       i % 3 ? std::optional<std::string>("Mum") : std::nullopt});
    return out;
}

struct TempHome {
    TempHome() {
        char tmpl[] = "/tmp/tarvo-bench-XXXXXX";
        dir = mkdtemp(tmpl);
        setenv("HOME", dir.c_str(), 1);
        setenv("TARVO_ROOT", dir.c_str(), 1);
    }
    ~TempHome() { std::filesystem::remove_all(dir); }
    std::string dir;
};

void BM_SortedDeduped(benchmark::State& state) {
    auto messages = conversation(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(tarvo::ChatStore::sortedDeduped(messages));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SortedDeduped)->Arg(100)->Arg(1000)->Arg(10000);

void BM_SaveHistory(benchmark::State& state) {
    TempHome home;
    auto messages = tarvo::ChatStore::sortedDeduped(conversation(state.range(0)));
    for (auto _ : state) tarvo::ChatStore::save(messages);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SaveHistory)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_LoadHistory(benchmark::State& state) {
    TempHome home;
    tarvo::ChatStore::save(tarvo::ChatStore::sortedDeduped(conversation(state.range(0))));
    for (auto _ : state) benchmark::DoNotOptimize(tarvo::ChatStore::load());
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_LoadHistory)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_ParsePollAnswer(benchmark::State& state) {
    tarvo::json::Json list = tarvo::json::Json::array();
    for (const auto& m : conversation(state.range(0))) list.push_back(m.toJson());
    const std::string body =
        tarvo::json::Json{{"messages", list}, {"parents", {{{"name", "Mum"}}}}}.dump();
    for (auto _ : state) {
        benchmark::DoNotOptimize(tarvo::ChatService::parseMessages(body));
        benchmark::DoNotOptimize(tarvo::ChatService::parseParentNames(body));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(body.size()));
}
BENCHMARK(BM_ParsePollAnswer)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
