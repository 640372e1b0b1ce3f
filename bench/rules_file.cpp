// How long a rule change takes to land in the proxy's rules file: the direct
// write (read-back, compare, temporary file, rename) and the same through the
// agent's serial write queue on a worker pool, as the event stream's handler
// does it. Run: build/bench/bench_rules_file
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "agent/RulesFile.h"
#include "core/Background.h"

namespace tarvo {
namespace {

// Runs each write at once, so the figures are the writes themselves.
class InlineBackground : public tarvo::Background {
  public:
    void run(Task task) override { task(); }
};

struct Scratch {
    Scratch() {
        char tmpl[] = "/tmp/tarvo-bench-XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~Scratch() { std::filesystem::remove_all(dir); }
    std::string dir;
};

ServerClient::Rules rulesOf(int entries, int variant) {
    ServerClient::Rules rules;
    for (int i = 0; i < entries; ++i)
        rules.whitelist.push_back("site" + std::to_string(i) + "-" + std::to_string(variant) +
                                  ".example");
    rules.blacklist = {"blocked.example"};
    rules.deviceId = "bench-device";
    return rules;
}

std::shared_ptr<RulesFile> makeFile(const Scratch& scratch, Background& background) {
    RulesFile::Options options;
    options.username = "emma";
    options.uid = getuid();
    options.deviceId = "bench-device";
    options.rulesPath = scratch.dir + "/proxy_rules.json";
    options.proxyConfigPath = scratch.dir + "/proxy_config.json";
    return RulesFile::create(options, TarvoLog("bench"), background);
}

// Every iteration changes the lists, so every iteration replaces the file.
void BM_WriteChangedRules(benchmark::State& state) {
    Scratch scratch;
    InlineBackground background;
    auto file = makeFile(scratch, background);
    const auto a = rulesOf(static_cast<int>(state.range(0)), 0);
    const auto b = rulesOf(static_cast<int>(state.range(0)), 1);
    bool flip = false;
    for (auto _ : state) {
        benchmark::DoNotOptimize(file->writeNow(flip ? a : b));
        flip = !flip;
    }
}
BENCHMARK(BM_WriteChangedRules)->Arg(10)->Arg(200)->Arg(2000)->Unit(benchmark::kMicrosecond);

// The same lists again: read back and compare only.
void BM_UnchangedRules(benchmark::State& state) {
    Scratch scratch;
    InlineBackground background;
    auto file = makeFile(scratch, background);
    const auto a = rulesOf(static_cast<int>(state.range(0)), 0);
    file->writeNow(a);
    for (auto _ : state) benchmark::DoNotOptimize(file->writeNow(a));
}
BENCHMARK(BM_UnchangedRules)->Arg(10)->Arg(200)->Arg(2000)->Unit(benchmark::kMicrosecond);

// Handed to the serial queue from another thread and awaited: the path of a
// rule change pushed on the event stream.
void BM_QueuedWriteLatency(benchmark::State& state) {
    Scratch scratch;
    ThreadPoolBackground background(4);
    auto file = makeFile(scratch, background);
    const auto a = rulesOf(static_cast<int>(state.range(0)), 0);
    const auto b = rulesOf(static_cast<int>(state.range(0)), 1);
    bool flip = false;
    for (auto _ : state) {
        std::promise<bool> landed;
        file->writeRulesFile(flip ? a : b, [&](const RulesFile::WriteResult& r) {
            landed.set_value(r.outcome == RulesFile::Outcome::written);
        });
        if (!landed.get_future().get()) state.SkipWithError("write did not land");
        flip = !flip;
    }
}
BENCHMARK(BM_QueuedWriteLatency)->Arg(200)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace tarvo

BENCHMARK_MAIN();
