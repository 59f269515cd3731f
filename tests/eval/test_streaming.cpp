// The page evaluation streams both files through the counter in slices; it
// must agree with counting whole maps in memory, runs cut by slice borders
// and the header variant included.

#include "eval/evaluate.h"
#include "run/report.h"
#include "run/workspace.h"
#include "tools/synth.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <filesystem>
#include <string>
#include <malloc.h>
#include <unistd.h>

namespace corvanel {
namespace {

namespace fs = std::filesystem;

class StreamingEvaluation : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        // The parameter's "/0" in the name would leave an empty folder behind.
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '-');
        ws_ = fs::temp_directory_path() / ("corvanel-stream-" + std::to_string(::getpid()) + "-" + name);
        fs::remove_all(ws_);
    }
    void TearDown() override { fs::remove_all(ws_); }
    fs::path ws_;
};

TEST_P(StreamingEvaluation, AgreesWithWholeMapsInMemory) {
    const bool header = GetParam();
    // Widths that do not divide the slice size, so runs cross slice borders.
    for (std::uint64_t seed : {1u, 2u, 3u}) {
        synth::PageLayout layout;
        layout.width = 301 + static_cast<std::int32_t>(seed) * 37;
        layout.height = 411;
        layout.lines = 8;
        layout.wordsPerLine = 6;
        layout.errorRate = 0.6;
        layout.seed = seed;
        const synth::SyntheticPage page = synth::makePage(layout);
        const std::string name = "p" + std::to_string(seed) + ".tif.dat";
        synth::writeLabelMap(ws_ / "gt" / "lines" / name, page.gtLines, header);
        synth::writeLabelMap(ws_ / "results" / "lines" / name, page.rsLines, header);
        synth::writeLabelMap(ws_ / "gt" / "words" / name, page.gtWords, header);
        synth::writeLabelMap(ws_ / "results" / "words" / name, page.rsWords, header);

        for (Level level : {Level::Lines, Level::Words}) {
            for (std::int32_t T : {30, 90}) {
                SCOPED_TRACE(testing::Message() << "seed " << seed << " level " << static_cast<int>(level)
                                                << " T " << T);
                const Workspace workspace(ws_);
                PageRequest r;
                r.pageName = "p" + std::to_string(seed) + ".tif";
                r.gtMap = workspace.mapPath(MapKind::GroundTruth, level, r.pageName);
                r.rsMap = workspace.mapPath(MapKind::Result, level, r.pageName);
                r.readHeader = header;
                r.size = header ? PageSize{1, 1} : PageSize{layout.width, layout.height};
                r.threshold = T;
                r.weights = {100, 40, 10};
                r.diagnose = true;
                const PageEvaluation streamed = EvaluatePage(r);
                const bool words = level == Level::Words;
                const PageEvaluation whole = evaluateMaps(words ? page.gtWords : page.gtLines,
                                                          words ? page.rsWords : page.rsLines, T,
                                                          Weights{100, 40, 10}, true);
                ASSERT_TRUE(streamed.success);
                ASSERT_TRUE(whole.success);
                EXPECT_EQ(streamed.size, (PageSize{layout.width, layout.height}));
                EXPECT_EQ(streamed.counts, whole.counts);
                EXPECT_EQ(reportRow(streamed.rates, streamed.counts), reportRow(whole.rates, whole.counts));
                EXPECT_EQ(streamed.detail.one2one, whole.detail.one2one);
                EXPECT_EQ(streamed.detail.gtCentred, whole.detail.gtCentred);
                EXPECT_EQ(streamed.detail.resultCentred, whole.detail.resultCentred);
                EXPECT_EQ(streamed.detail.unmatchedGt, whole.detail.unmatchedGt);
                EXPECT_EQ(streamed.detail.unmatchedResult, whole.detail.unmatchedResult);
                EXPECT_GT(whole.counts.N, 0);
                // Boxes from slices agree with boxes from whole maps.
                ASSERT_TRUE(streamed.diagnosis && whole.diagnosis);
                const RegionList a = streamed.diagnosis->gt();
                const RegionList b = whole.diagnosis->gt();
                ASSERT_EQ(a.size(), b.size());
                for (std::size_t k = 0; k < a.size(); ++k) EXPECT_EQ(a[k].box, b[k].box) << a[k].label;
                ASSERT_EQ(streamed.diagnosis->result().size(), whole.diagnosis->result().size());
                for (std::size_t k = 0; k < whole.diagnosis->result().size(); ++k)
                    EXPECT_EQ(streamed.diagnosis->result()[k].box, whole.diagnosis->result()[k].box);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutHeader, StreamingEvaluation, ::testing::Bool());

// Resident memory fn() adds at its peak, in MiB, from the kernel's
// resettable high-water mark.
template <class Fn>
double addedPeakMiB(Fn&& fn) {
    const auto kib = [](const char* field) {
        std::ifstream status("/proc/self/status");
        for (std::string key; status >> key; status.ignore(1 << 10, '\n'))
            if (key == field) {
                long value = 0;
                status >> value;
                return value;
            }
        return 0L;
    };
    ::malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = kib("VmRSS:");
    fn();
    return static_cast<double>(kib("VmHWM:") - before) / 1024;
}

// A page in trouble is reported from what reading it in slices found: its
// maps (36 MB each here) are never held whole to find the message.
TEST(StreamingEvaluation, APageInTroubleIsReportedWithoutHoldingItsMaps) {
    const fs::path dir = fs::temp_directory_path() / ("corvanel-trouble-" + std::to_string(::getpid()));
    const Workspace workspace(dir);
    constexpr std::int32_t side = 3000;
    LabelMap gt(side, side), rs(side, side);
    std::fill_n(gt.data(), gt.pixelCount(), 1);
    std::fill_n(rs.data(), rs.pixelCount(), 2);
    rs.data()[rs.pixelCount() - 1] = -5;
    synth::writeLabelMap(workspace.mapPath(MapKind::GroundTruth, Level::Lines, "p.tif"), gt);
    synth::writeLabelMap(workspace.mapPath(MapKind::Result, Level::Lines, "p.tif"), rs);
    PageRequest r;
    r.pageName = "p.tif";
    r.gtMap = workspace.mapPath(MapKind::GroundTruth, Level::Lines, r.pageName);
    r.rsMap = workspace.mapPath(MapKind::Result, Level::Lines, r.pageName);
    r.size = {side, side};
    PageEvaluation e;
    EXPECT_LT(addedPeakMiB([&] { e = EvaluatePage(r); }), 16.0);
    ASSERT_EQ(e.failures.size(), 1u);
    EXPECT_EQ(boxText(e.failures[0]), "Problem with file p.tif.dat: negative label -5 at x=2999, y=2999");
    EXPECT_EQ(e.failures[0].side, MapKind::Result);

    fs::remove(r.rsMap);
    EXPECT_LT(addedPeakMiB([&] { e = EvaluatePage(r); }), 16.0);
    ASSERT_EQ(e.failures.size(), 1u);
    EXPECT_EQ(e.failures[0].kind, FailureKind::MapMissing);
    EXPECT_EQ(e.failures[0].side, MapKind::Result);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace corvanel
