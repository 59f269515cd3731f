// corvanel-eval on the field's formats: PAGE XML ground truth and PNG label
// images, against the same workspace imported as .dat maps, with and
// without the page's ink; bad files reported page by page.

#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QImage>

#include <cstdlib>
#include <filesystem>
#include <string>


namespace corvanel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using testing::ToolRun;

ToolRun eval(const std::string& args, const fs::path& scratch) {
    return testing::runTool(std::string(CORVANEL_EVAL_EXE) + " " + args, scratch);
}

constexpr int kWidth = 40, kHeight = 30;

// Two written lines: ink on rows 5..9 and 20..24, columns 5..34.
bool isInk(int x, int y) { return x >= 5 && x < 35 && ((y >= 5 && y < 10) || (y >= 20 && y < 25)); }

void writePage(const fs::path& file) {
    QImage page(kWidth, kHeight, QImage::Format_Grayscale8);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) page.scanLine(y)[x] = isInk(x, y) ? 20 : 230;
    fs::create_directories(file.parent_path());
    ASSERT_TRUE(page.save(QString::fromStdString(file.string()), "PNG"));
}

// Line a covers the upper half, b the lower; both overlap on row 15 and
// have baselines under their ink.
const char* const kPage = R"(<?xml version="1.0" encoding="UTF-8"?>
<PcGts xmlns="http://schema.primaresearch.org/PAGE/gts/pagecontent/2019-07-15">
  <Page imageFilename="p.png" imageWidth="40" imageHeight="30">
    <TextRegion id="r"><Coords points="0,0 40,0 40,30 0,30"/>
      <TextLine id="line-a"><Coords points="0,0 40,0 40,16 0,16"/><Baseline points="0,10 40,10"/>
        <Word id="w1"><Coords points="4,4 36,4 36,11 4,11"/></Word></TextLine>
      <TextLine id="line-b"><Coords points="0,15 40,15 40,30 0,30"/><Baseline points="0,25 40,25"/></TextLine>
    </TextRegion>
  </Page>
</PcGts>
)";

// A result that labels line a's ink and the paper above it, and splits
// line b's ink in two: right on the ink, wrong on the paper.
void writeResultPng(const fs::path& file) {
    QImage labels(kWidth, kHeight, QImage::Format_Grayscale16);
    for (int y = 0; y < kHeight; ++y) {
        auto* row = reinterpret_cast<quint16*>(labels.scanLine(y));
        for (int x = 0; x < kWidth; ++x) row[x] = y < 3 || (y < 15 && isInk(x, y)) ? 1 : !isInk(x, y) ? 0 : x < 20 ? 2 : 300;
    }
    fs::create_directories(file.parent_path());
    ASSERT_TRUE(labels.save(QString::fromStdString(file.string()), "PNG"));
}

class Sources : public ::testing::Test {
protected:
    void SetUp() override {
        writePage(ws.path() / "images" / "p.png");
        testing::writeBytes(ws.path() / "gt" / "p.xml", kPage);
        writeResultPng(ws.path() / "results" / "lines" / "p.png.png");
    }
    json totals(const std::string& args) {
        const fs::path file = scratch.path() / "run.json";
        const ToolRun run = eval(args + " --json " + file.string(), scratch.path());
        EXPECT_EQ(run.exitCode, 0) << run.err;
        return json::parse(testing::readBytes(file));
    }
    std::string w() const { return ws.path().string(); }

    testing::TempDir ws{"corvanel-sources"};
    testing::TempDir scratch{"corvanel-sources-out"};
};

TEST_F(Sources, ImportedMapsScoreAsTheirSourcesInEveryPixelMode) {
    for (const std::string pixels : {"", " --pixels region"}) {
        const fs::path copy = scratch.path() / ("copy" + std::to_string(pixels.size()));
        const ToolRun imported = eval("import " + w() + " " + copy.string() + pixels, scratch.path());
        ASSERT_EQ(imported.exitCode, 0) << imported.err;
        for (const std::string inkOnly : {"", " --ink-only"}) {
            const json direct = totals(w() + pixels + inkOnly);
            const json viaDat = totals(copy.string() + inkOnly);
            EXPECT_EQ(direct.at("totals"), viaDat.at("totals")) << pixels << inkOnly;
            EXPECT_EQ(direct.at("pages")[0].at("gt_ids"), (json{{"1", "line-a"}, {"2", "line-b"}}));
        }
    }
    // On the ink alone the result's line a is exact; with the paper it is not.
    EXPECT_EQ(totals(w() + " --ink-only").at("totals").at("one2one"), 1);
    EXPECT_EQ(totals(w()).at("totals").at("one2one"), 0);
    EXPECT_EQ(totals(w() + " --pixels region").at("totals").at("one2one"), 0);
    EXPECT_EQ(totals(w()).at("totals").at("N"), 2);
}

TEST_F(Sources, BadSourcesAreNamedAndTheRunGoesOn) {
    writePage(ws.path() / "images" / "q.png");
    testing::writeBytes(ws.path() / "gt" / "q.xml", std::string(kPage).replace(std::string(kPage).find("40,16"), 5, "40,x"));
    writePage(ws.path() / "images" / "r.png");
    testing::writeBytes(ws.path() / "gt" / "r.xml", kPage);
    writeResultPng(ws.path() / "gt" / "lines" / "r.png.png");
    const ToolRun run = eval(w() + " --strict", scratch.path());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("Problem with file q.xml (ground truth, lines): line 5: points that are not numbers in "
                           "region line-a"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("Both " + w() + "/gt/lines/r.png.png and " + w() + "/gt/r.xml give the ground truth lines"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.out.find("Im.: 1"), std::string::npos) << run.out;
}

// Real scans with their ALTO lines, as ground truth and as a result: every
// line keeps ink pixels under the page's binarisation, so each counts.
TEST(RealPages, EveryAltoLineKeepsItsInk) {
    const fs::path real = CORVANEL_REALPAGES;
    if (!fs::is_directory(real)) GTEST_SKIP() << "no real pages at " << real;
    testing::TempDir ws{"corvanel-real"}, scratch{"corvanel-real-out"};
    std::size_t pages = 0;
    for (const auto& entry : fs::directory_iterator(real)) {
        if (entry.path().extension() == ".xml") continue;
        fs::create_directories(ws.path() / "images");
        fs::copy_file(entry.path(), ws.path() / "images" / entry.path().filename());
        const fs::path alto = fs::path(entry.path()).replace_extension(".xml");
        for (const char* side : {"gt", "results"}) {
            fs::create_directories(ws.path() / side);
            fs::copy_file(alto, ws.path() / side / alto.filename());
        }
        ++pages;
    }
    const fs::path file = scratch.path() / "run.json";
    const ToolRun run = eval(ws.path().string() + " --json " + file.string(), scratch.path());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json doc = json::parse(testing::readBytes(file));
    ASSERT_EQ(doc.at("pages").size(), pages);
    for (const json& page : doc.at("pages")) {
        EXPECT_EQ(page.at("N"), page.at("gt_ids").size()) << page.at("name");
        EXPECT_EQ(page.at("one2one"), page.at("N")) << page.at("name");
    }
}

}  // namespace
}  // namespace corvanel
