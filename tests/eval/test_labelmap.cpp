#include "eval/labelmap.h"
#include "run/workspace.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tests/support/map_builder.h"
#include "tests/support/test_support.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvanel {
namespace {

namespace fs = std::filesystem;
using corvanel::testing::TempDir;
using corvanel::testing::readBytes;
using corvanel::testing::writeBytes;

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

std::string encode(const std::vector<std::int32_t>& labels, std::optional<PageSize> header = std::nullopt) {
    return testing::labelMapBytes(labels, header);
}

std::vector<std::int32_t> labelsOf(const LabelMap& map) {
    return {map.data(), map.data() + map.pixelCount()};
}

// ---------------------------------------------------------------- paths

struct PathCase {
    const char* workspace;
    MapKind kind;
    Level level;
    const char* page;
    const char* expected;
};

TEST(LabelMapPath, FollowsKindLevelAndPageFileName) {
    const PathCase cases[] = {
        {"/ws", MapKind::GroundTruth, Level::Lines, "/ws/images/p01.png", "/ws/gt/lines/p01.png.dat"},
        {"/ws", MapKind::Result, Level::Words, "/ws/images/p01.png", "/ws/results/words/p01.png.dat"},
        {"/ws", MapKind::GroundTruth, Level::Words, "/ws/images/p01.png", "/ws/gt/words/p01.png.dat"},
        {"/ws", MapKind::Result, Level::Lines, "/ws/images/p01.png", "/ws/results/lines/p01.png.dat"},
        // The page's own folder plays no part.
        {"/ws", MapKind::GroundTruth, Level::Lines, "/elsewhere/deep/p01.png", "/ws/gt/lines/p01.png.dat"},
        {"/ws", MapKind::Result, Level::Lines, "p01.png", "/ws/results/lines/p01.png.dat"},
        {"/ws", MapKind::GroundTruth, Level::Words, "/other/scan 7.tif", "/ws/gt/words/scan 7.tif.dat"},
        {"/ws", MapKind::Result, Level::Words, "/other/scan 7.tif", "/ws/results/words/scan 7.tif.dat"},
        {"/ws/", MapKind::GroundTruth, Level::Lines, "a.b.tif", "/ws/gt/lines/a.b.tif.dat"},
        {"/my ws", MapKind::Result, Level::Lines, "/x/page", "/my ws/results/lines/page.dat"},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(std::string(c.workspace) + " + " + c.page);
        // Only the page's file name names its map.
        EXPECT_EQ(Workspace(c.workspace).mapPath(c.kind, c.level, fs::path(c.page).filename().string()).string(),
                  c.expected);
    }
}

class CurrentDirGuard {
public:
    explicit CurrentDirGuard(const fs::path& dir) : saved_(fs::current_path()) { fs::current_path(dir); }
    ~CurrentDirGuard() {
        std::error_code ec;
        fs::current_path(saved_, ec);
    }
    CurrentDirGuard(const CurrentDirGuard&) = delete;
    CurrentDirGuard& operator=(const CurrentDirGuard&) = delete;

private:
    fs::path saved_;
};

TEST(Readers, ReadTheirOwnFolderAtTheChosenLevelUnderTheWorkspace) {
    TempDir ws;
    TempDir decoys;  // the current directory and the page's folder, holding maps that must not be read
    const char* name = "scan 7.tif.dat";
    writeBytes(ws.path() / "gt/words" / name, encode({1, 2}));
    writeBytes(ws.path() / "results/words" / name, encode({3, 4}));
    writeBytes(ws.path() / "gt/lines" / name, encode({5, 6}));
    writeBytes(ws.path() / "results/lines" / name, encode({7, 8}));
    for (const char* folder : {"gt/words", "results/words", "images/gt/words", "images/results/words"})
        writeBytes(decoys.path() / folder / name, encode({9, 9}));
    CurrentDirGuard cwd(decoys.path());

    const Workspace workspace(ws.path());
    const auto map = [&](MapKind kind, Level level) { return workspace.mapPath(kind, level, "scan 7.tif"); };
    PageSize size{2, 1};
    ReadResult gt = ReadGT(map(MapKind::GroundTruth, Level::Words), false, size);
    ASSERT_TRUE(gt.ok()) << boxText(gt.error());
    EXPECT_EQ(labelsOf(gt.map()), (std::vector<std::int32_t>{1, 2}));
    ReadResult rs = ReadRS(map(MapKind::Result, Level::Words), false, size);
    ASSERT_TRUE(rs.ok()) << boxText(rs.error());
    EXPECT_EQ(labelsOf(rs.map()), (std::vector<std::int32_t>{3, 4}));

    ReadResult gtLines = ReadGT(map(MapKind::GroundTruth, Level::Lines), false, size);
    ReadResult rsLines = ReadRS(map(MapKind::Result, Level::Lines), false, size);
    ASSERT_TRUE(gtLines.ok() && rsLines.ok());
    EXPECT_EQ(labelsOf(gtLines.map()), (std::vector<std::int32_t>{5, 6}));
    EXPECT_EQ(labelsOf(rsLines.map()), (std::vector<std::int32_t>{7, 8}));
}

TEST(Readers, MissingResultGivesNoMessage) {
    TempDir ws;
    writeBytes(ws.path() / "gt/lines/p01.png.dat", encode({1, 2}));
    const Workspace workspace(ws.path());
    PageSize size{2, 1};
    EXPECT_TRUE(ReadGT(workspace.mapPath(MapKind::GroundTruth, Level::Lines, "p01.png"), false, size).ok());
    ReadResult rs = ReadRS(workspace.mapPath(MapKind::Result, Level::Lines, "p01.png"), false, size);
    ASSERT_FALSE(rs.ok());
    EXPECT_EQ(rs.error().kind, FailureKind::MapMissing);
    EXPECT_EQ(boxText(rs.error()), "");
}

// ---------------------------------------------------------------- reading

class ReadLabelMap : public ::testing::Test {
protected:
    fs::path write(const std::string& name, const std::string& bytes) {
        fs::path path = dir_.path() / name;
        writeBytes(path, bytes);
        return path;
    }

    TempDir dir_;
};

TEST_F(ReadLabelMap, ReadsRowByRowWithoutHeader) {
    const fs::path path = write("p.dat", encode({0, 1, 2, 3, 4, 5}));
    PageSize size{3, 2};
    ReadResult r = readLabelMap(path, MapKind::GroundTruth, false, size);
    ASSERT_TRUE(r.ok()) << boxText(r.error());
    EXPECT_EQ(r.map().size(), (PageSize{3, 2}));
    EXPECT_EQ(r.map().at(2, 0), 2);
    EXPECT_EQ(r.map().at(0, 1), 3);
    EXPECT_EQ(r.map().at(2, 1), 5);
    EXPECT_EQ(size, (PageSize{3, 2}));
}

TEST_F(ReadLabelMap, IgnoresBytesBeyondTheMap) {
    for (const std::string& tail : {encode({9}), encode({9, 9, 9}), std::string("\x01\x02", 2)}) {
        const fs::path path = write("long.dat", encode({1, 2, 3, 4}) + tail);
        PageSize size{2, 2};
        ReadResult r = readLabelMap(path, MapKind::Result, false, size);
        ASSERT_TRUE(r.ok()) << boxText(r.error());
        EXPECT_EQ(labelsOf(r.map()), (std::vector<std::int32_t>{1, 2, 3, 4}));
    }
}

TEST_F(ReadLabelMap, ShortFileNamesTheFile) {
    struct Case {
        std::string bytes;
        PageSize size;
    };
    const Case cases[] = {
        {encode({1, 2, 3, 4, 5}), {3, 2}},  // one label short
        {encode({1, 2, 3, 4, 5}) + std::string("\0\0\0", 3), {3, 2}},  // three bytes short
        {"", {3, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes.size());
        const fs::path path = write("p01.png.dat", c.bytes);
        PageSize size = c.size;
        ReadResult r = readLabelMap(path, MapKind::GroundTruth, false, size);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, FailureKind::MapMalformed);
        EXPECT_EQ(boxText(r.error()), "Problem with file p01.png.dat");
    }
}

TEST_F(ReadLabelMap, MissingFileIsSilentAndChangesNothing) {
    PageSize size{7, 3};
    ReadResult r = readLabelMap(dir_.path() / "absent.dat", MapKind::Result, true, size);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, FailureKind::MapMissing);
    EXPECT_EQ(boxText(r.error()), "");
    EXPECT_EQ(size, (PageSize{7, 3}));
}

// Only a map that is not there is missing; anything else in its place is a
// problem with the file, reported at once, never waited on.
TEST_F(ReadLabelMap, WhatIsNotARegularFileIsAProblemNotMissing) {
    const fs::path fifo = dir_.path() / "fifo.dat";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path loop = dir_.path() / "loop.dat";
    fs::create_symlink(loop, loop);
    const fs::path throughFile = write("plain", "") / "p.dat";  // ENOTDIR: missing
    struct Case {
        fs::path path;
        FailureKind kind;
        const char* message;
        const char* detail;
    };
    for (const Case& c : {Case{fifo, FailureKind::MapUnreadable, "Problem with file fifo.dat", "not a regular file"},
                          Case{loop, FailureKind::MapUnreadable, "Problem with file loop.dat",
                               "cannot open it: Too many levels of symbolic links"},
                          Case{throughFile, FailureKind::MapMissing, "", ""}}) {
        SCOPED_TRACE(c.path.string());
        PageSize size{2, 2};
        ReadResult r = readLabelMap(c.path, MapKind::Result, false, size);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, c.kind);
        EXPECT_EQ(boxText(r.error()), c.message);
        EXPECT_EQ(r.error().detail, c.detail);
    }
}

TEST_F(ReadLabelMap, DirectoryInPlaceOfTheFile) {
    fs::create_directories(dir_.path() / "p01.png.dat");
    PageSize size{2, 2};
    ReadResult r = readLabelMap(dir_.path() / "p01.png.dat", MapKind::GroundTruth, false, size);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, FailureKind::MapUnreadable);
    EXPECT_EQ(boxText(r.error()), "Problem with file p01.png.dat");
}

TEST_F(ReadLabelMap, HeaderSizeReplacesThePageSize) {
    std::vector<std::int32_t> labels(5000);
    for (std::int32_t k = 0; k < 5000; ++k) labels[static_cast<std::size_t>(k)] = k;
    const fs::path path = write("h.dat", encode(labels, PageSize{100, 50}));
    PageSize size{640, 480};
    ReadResult r = readLabelMap(path, MapKind::GroundTruth, true, size);
    ASSERT_TRUE(r.ok()) << boxText(r.error());
    EXPECT_EQ(size, (PageSize{100, 50}));
    EXPECT_EQ(r.map().size(), (PageSize{100, 50}));
    EXPECT_EQ(r.map().at(0, 0), 0);  // the header is not read as labels
    EXPECT_EQ(r.map().at(3, 2), 203);
    EXPECT_EQ(r.map().at(99, 49), 4999);
}

TEST_F(ReadLabelMap, HeaderWithTooFewLabelsKeepsThePageSize) {
    const fs::path path = write("h.dat", encode(std::vector<std::int32_t>(4999, 1), PageSize{100, 50}));
    PageSize size{640, 480};
    ReadResult r = readLabelMap(path, MapKind::GroundTruth, true, size);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(boxText(r.error()), "Problem with file h.dat");
    EXPECT_EQ(size, (PageSize{640, 480}));
}

TEST_F(ReadLabelMap, MalformedHeadersFailWithoutAllocating) {
    struct Case {
        const char* what;
        PageSize header;
        std::size_t labels;  // how many labels follow the header
    };
    const Case cases[] = {
        {"negative width", {-1, 5}, 16},
        {"negative height", {5, -1}, 16},
        {"zero width", {0, 5}, 16},
        {"zero height", {5, 0}, 16},
        {"both zero", {0, 0}, 0},
        {"two negatives multiply to a fitting area", {-2, -3}, 6},
        {"most negative sizes", {kMin, kMin}, 4},
        {"area wraps to 0 in 32 bits", {65536, 65536}, 0},
        {"area wraps to 65536 in 32 bits", {65536, 65537}, 65536},
        {"byte count wraps to 0 in 32 bits", {32768, 32768}, 0},
        {"two billion squared", {2000000000, 2000000000}, 2},
        {"largest sizes", {kMax, kMax}, 2},
        {"one huge row", {kMax, 1}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path path = write("bad.dat", encode(std::vector<std::int32_t>(c.labels, 1), c.header));
        PageSize size{4, 4};
        ReadResult r = readLabelMap(path, MapKind::GroundTruth, true, size);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, FailureKind::MapMalformed);
        EXPECT_EQ(boxText(r.error()), "Problem with file bad.dat");
        EXPECT_EQ(size, (PageSize{4, 4}));
    }
}

TEST_F(ReadLabelMap, FilesTooShortForTheHeader) {
    for (std::size_t length : {0u, 1u, 4u, 7u, 8u}) {
        SCOPED_TRACE(length);
        // A header of 1 x 1 needs 12 bytes; cut it short.
        const fs::path path = write("tiny.dat", encode({1}, PageSize{1, 1}).substr(0, length));
        PageSize size{1, 1};
        ReadResult r = readLabelMap(path, MapKind::Result, true, size);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, FailureKind::MapMalformed);
        EXPECT_EQ(boxText(r.error()), "Problem with file tiny.dat");
    }
}

TEST_F(ReadLabelMap, LargestLabelsAreRead) {
    const fs::path path = write("big.dat", encode({kMax, 0, 1, kMax - 1}));
    PageSize size{2, 2};
    ReadResult r = readLabelMap(path, MapKind::GroundTruth, false, size);
    ASSERT_TRUE(r.ok()) << boxText(r.error());
    EXPECT_EQ(labelsOf(r.map()), (std::vector<std::int32_t>{kMax, 0, 1, kMax - 1}));
    const RegionTable table = buildRegionTable(r.map());
    ASSERT_EQ(table.regionCount(), 3u);
    EXPECT_EQ(table.regions[0].label, 1);
    EXPECT_EQ(table.regions[1].label, kMax - 1);
    EXPECT_EQ(table.regions[2].label, kMax);
}

TEST_F(ReadLabelMap, NegativeLabelIsRefusedWithItsPosition) {
    struct Case {
        std::int32_t width, height;
        std::vector<std::pair<std::size_t, std::int32_t>> negatives;  // index, value
        const char* expected;
    };
    const Case cases[] = {
        {3, 2, {{0, -1}}, "Problem with file neg.dat: negative label -1 at x=0, y=0"},
        {3, 2, {{5, kMin}}, "Problem with file neg.dat: negative label -2147483648 at x=2, y=1"},
        {3, 2, {{4, -3}, {2, -9}}, "Problem with file neg.dat: negative label -9 at x=2, y=0"},
        // Past the first few hundred thousand labels, where a reader in slices starts a new one.
        {1000, 300, {{299999, -7}}, "Problem with file neg.dat: negative label -7 at x=999, y=299"},
        {1000, 300, {{262144, -7}}, "Problem with file neg.dat: negative label -7 at x=144, y=262"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        std::vector<std::int32_t> labels(static_cast<std::size_t>(c.width) * static_cast<std::size_t>(c.height), 4);
        for (auto [index, value] : c.negatives) labels[index] = value;
        for (bool header : {false, true}) {
            const fs::path path =
                write("neg.dat", encode(labels, header ? std::optional<PageSize>(PageSize{c.width, c.height})
                                                       : std::nullopt));
            PageSize size = header ? PageSize{1, 1} : PageSize{c.width, c.height};
            const PageSize before = size;
            ReadResult r = readLabelMap(path, MapKind::GroundTruth, header, size);
            ASSERT_FALSE(r.ok());
            EXPECT_EQ(r.error().kind, FailureKind::NegativeLabel);
            EXPECT_EQ(boxText(r.error()), c.expected);
            EXPECT_EQ(size, before);
        }
    }
}

// Two maps read in step: every label once and in order, after a header; a
// file cut short while it is read is a failure naming it, wherever the cut
// falls.
TEST_F(ReadLabelMap, InStepReadsEveryLabelAndNamesAFileCutShort) {
    constexpr std::int32_t w = 1000, h = 1500;  // 6 MB a map
    std::vector<std::int32_t> a(w * h), b(w * h);
    for (std::size_t i = 0; i < a.size(); ++i) {
        a[i] = static_cast<std::int32_t>(i);
        b[i] = static_cast<std::int32_t>(i * 7 + 1);
    }
    struct Outcome {
        std::optional<Failure> error;
        std::size_t seen = 0, wrong = 0;
    };
    const auto readCut = [&](const char* cutName, std::uintmax_t cutTo) {
        const fs::path g = write("g.dat", encode(a, PageSize{w, h}));
        const fs::path r = write("r.dat", encode(b, PageSize{w, h}));
        auto gt = std::get<LabelMapFile>(LabelMapFile::open(g, true, {1, 1}));
        auto rs = std::get<LabelMapFile>(LabelMapFile::open(r, true, {1, 1}));
        if (cutName != nullptr) fs::resize_file(dir_.path() / cutName, cutTo);
        Outcome out;
        out.error = readInStep(gt, rs, [&](const std::int32_t* x, const std::int32_t* y, std::size_t n) {
            for (std::size_t k = 0; k < n; ++k, ++out.seen)
                if (x[k] != a[out.seen] || y[k] != b[out.seen]) ++out.wrong;
            return true;
        });
        return out;
    };
    const struct {
        const char* name;
        std::uintmax_t bytes;
    } cuts[] = {{"g.dat", 0}, {"r.dat", 3 << 20}, {"g.dat", 8 + 6'000'000 - 4}};
    for (const auto& cut : cuts) {
        SCOPED_TRACE(std::string(cut.name) + " cut to " + std::to_string(cut.bytes));
        const Outcome out = readCut(cut.name, cut.bytes);
        ASSERT_TRUE(out.error.has_value());
        EXPECT_EQ(boxText(*out.error), std::string("Problem with file ") + cut.name);
        EXPECT_EQ(out.error->detail, "it ended while being read");
    }
    // After the cuts, as before them.
    const Outcome whole = readCut(nullptr, 0);
    EXPECT_FALSE(whole.error.has_value());
    EXPECT_EQ(whole.seen, a.size());
    EXPECT_EQ(whole.wrong, 0u);
}

// ---------------------------------------------------------------- region tables

LabelMap mapOf(std::int32_t width, std::int32_t height, const std::vector<std::int32_t>& labels) {
    LabelMap map(width, height);
    std::copy(labels.begin(), labels.end(), map.data());
    return map;
}

TEST(RegionTable, ZerosOnlyHasNoRegion) {
    TempDir dir;
    writeBytes(dir.path() / "z.dat", encode(std::vector<std::int32_t>(12, 0)));
    PageSize size{4, 3};
    ReadResult r = readLabelMap(dir.path() / "z.dat", MapKind::GroundTruth, false, size);
    ASSERT_TRUE(r.ok()) << boxText(r.error());
    EXPECT_EQ(buildRegionTable(r.map()).regionCount(), 0u);
}

TEST(RegionTable, ListsPresentLabelsAscendingWithBoxes) {
    // 7 appears twice, far apart; it is one region whose box covers both places.
    const LabelMap map = mapOf(5, 4, {
                                         0, 7, 0, 0, 0,  //
                                         0, 0, 0, 3, 3,  //
                                         0, 0, 0, 3, 0,  //
                                         0, 0, 0, 0, 7,  //
                                     });
    const RegionTable table = buildRegionTable(map);
    ASSERT_EQ(table.regionCount(), 2u);
    const RegionBox& three = table.regions[0];
    EXPECT_EQ(three.label, 3);
    EXPECT_EQ((std::vector{three.left, three.top, three.right, three.bottom}), (std::vector{3, 1, 4, 2}));
    const RegionBox& seven = table.regions[1];
    EXPECT_EQ(seven.label, 7);
    EXPECT_EQ((std::vector{seven.left, seven.top, seven.right, seven.bottom}), (std::vector{1, 0, 4, 3}));
}

TEST(RegionTable, BoxGrowsLeftOnLaterRows) {
    const LabelMap map = mapOf(4, 3, {
                                         0, 0, 5, 5,  //
                                         0, 5, 0, 0,  //
                                         5, 0, 0, 0,  //
                                     });
    const RegionTable table = buildRegionTable(map);
    ASSERT_EQ(table.regionCount(), 1u);
    const RegionBox& box = table.regions[0];
    EXPECT_EQ((std::vector{box.left, box.top, box.right, box.bottom}), (std::vector{0, 0, 3, 2}));
}

TEST(RegionTable, LabelsBeyondColumn9999AreStillPresent) {
    LabelMap map(10005, 2);
    std::fill(map.data(), map.data() + map.pixelCount(), 0);
    for (std::int32_t x = 9999; x < 10005; ++x) map.data()[10005 + x] = 4;
    const RegionTable table = buildRegionTable(map);
    ASSERT_EQ(table.regionCount(), 1u);
    const RegionBox& box = table.regions[0];
    EXPECT_EQ(box.label, 4);
    EXPECT_EQ((std::vector{box.left, box.top, box.right, box.bottom}), (std::vector{9999, 1, 10004, 1}));
}

}  // namespace
}  // namespace corvanel
