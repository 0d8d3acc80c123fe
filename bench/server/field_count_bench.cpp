// What counting an update check costs the listener's threads: the agent
// read, the label, the client's keyed hash into the day's sketch, and the
// labelled metric. The server answers ~25,000 checks/s (server_bench.sh);
// this says what share of that the counting takes, on one thread and on
// two at once (the lock).
#include "server/release/agent.h"
#include "server/store/field_counter.h"
#include "server/support/counters.h"

#include <benchmark/benchmark.h>
#include <string>
#include <vector>

using namespace pelvoran::server;

namespace {

FieldCounter field;
Metrics metrics;

void BM_CountCheck(benchmark::State& state) {
    if (state.thread_index() == 0)
        field.setNewest("1.07");
    const std::vector<std::string> agents = {"Pelvoran/1.06 (Windows)", "Pelvoran/1.07 (Linux)", "",
                                             "Mozilla/5.0 (X11; Linux x86_64)"};
    std::string network = "4\x0a\x00\x00";
    const std::chrono::local_days day(std::chrono::days(20500));
    unsigned i = static_cast<unsigned>(state.thread_index()) << 20;
    for (auto _ : state) {
        ++i;
        network[2] = static_cast<char>(i >> 8);
        network[3] = static_cast<char>(i);
        const CheckLabel label = field.check(day, parseAgent(agents[i % agents.size()]), network);
        metrics.updateCheck(label.version, label.platform);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CountCheck)->Threads(1)->Threads(2)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
