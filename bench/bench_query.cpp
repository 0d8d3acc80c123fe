// Queries per second over a mixed set of codes, single-threaded.
#include "decode/lens_query.h"

#include <benchmark/benchmark.h>

#include <array>

using namespace pelvoran;

namespace {

const std::array<Text, 12> kCodes = {
    u"UE0945", u"ue0945",    u" FX1234 ", u"6831234567", u"00123456",   u"AB123456",
    u"UE945",  u"123456789", u"",         u"UEX945",     u"6012345678", u"ＵＥ０９４５",
};

void BM_Query(benchmark::State& state) {
    LensQuery query(RegionalSettings::zhCN());
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(query.Command1_Click(kCodes[i]));
        i = (i + 1) % kCodes.size();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Query);

void BM_LetterCode(benchmark::State& state) {
    LensQuery query(RegionalSettings::zhCN());
    const Text code = u"UE0945";
    for (auto _ : state)
        benchmark::DoNotOptimize(query.GetOldLens(code));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LetterCode);

void BM_Serial(benchmark::State& state) {
    LensQuery query(RegionalSettings::zhCN());
    const Text code = u"6831234567";
    for (auto _ : state)
        benchmark::DoNotOptimize(query.GetNewLens(code));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Serial);

} // namespace

BENCHMARK_MAIN();
