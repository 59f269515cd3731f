// Publishing a contest: the paired bootstrap behind the boards' intervals
// (10 participants, 1000 pages, 1000 draws; goal under 1 s) and the static
// site of 10 participants and 100 pages (goal under 2 s), from made-up
// per-page counts: neither reads a map.

#include "run/bootstrap.h"
#include "run/site.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>

namespace fs = std::filesystem;
using namespace corvanel;

namespace {

std::vector<Standing> standings(int participants, int pages) {
    std::mt19937 random(7);
    std::vector<Standing> out;
    for (int p = 0; p < participants; ++p) {
        Standing s;
        s.participant.name = "participant " + std::to_string(p);
        for (LevelRun* run : {&s.lines, &s.words}) {
            run->level = run == &s.lines ? Level::Lines : Level::Words;
            Counts sums;
            for (int i = 0; i < pages; ++i) {
                const std::int64_t N = run->level == Level::Lines ? 30 : 300;
                const std::int64_t matched = N - static_cast<std::int64_t>(random() % (N / 5 + 1));
                const Counts page{N, N + static_cast<std::int64_t>(random() % 5), matched, 1, 1, 1, 1};
                run->perPage.push_back(LevelRun::PageScore{page, false});
                sums += page;
            }
            run->totals = pool(sums, pages, Weights{});
            run->submitted = pages;
        }
        s.overall = (s.lines.totals.rates.FM.value_or(0) + s.words.totals.rates.FM.value_or(0)) / 2;
        out.push_back(std::move(s));
    }
    std::sort(out.begin(), out.end(), [](const Standing& a, const Standing& b) { return a.overall > b.overall; });
    for (const Level level : {Level::Lines, Level::Words}) {
        const auto order = boardOrder(out, level);
        for (std::size_t k = 0; k < order.size(); ++k)
            (level == Level::Lines ? out[order[k]].linesPlace : out[order[k]].wordsPlace) = k + 1;
    }
    return out;
}

void Bootstrap(benchmark::State& state) {
    const std::vector<Standing> base = standings(10, 1000);
    for (auto _ : state) {
        std::vector<Standing> s = base;
        bootstrapStandings(s, Weights{}, 1000);
        benchmark::DoNotOptimize(s[0].overallSure);
    }
}
BENCHMARK(Bootstrap)->Unit(benchmark::kMillisecond)->Iterations(3);

void Site(benchmark::State& state) {
    SiteContent content;
    content.standings = standings(10, 100);
    bootstrapStandings(content.standings, Weights{}, 1000);
    for (int i = 0; i < 100; ++i) content.pages.push_back("page" + std::to_string(i) + ".tif");
    content.facts = {"gt", content.pages.size(), 90, Weights{}, "2026-12-10", "bench", 1000, kBootstrapSeed};
    const fs::path folder = fs::temp_directory_path() / ("corvanel-site-bench-" + std::to_string(::getpid()));
    for (auto _ : state)
        if (writeSite(folder, content)) state.SkipWithError("the site was not written");
    fs::remove_all(folder);
}
BENCHMARK(Site)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
