#include "formats/rasterise.h"
#include "formats/xml_regions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

using namespace corvanel;

namespace {

RegionDocument read(const std::string& xml, std::optional<PageSize> imageSize = std::nullopt) {
    auto result = readRegionXml(xml, imageSize);
    if (const auto* problem = std::get_if<XmlProblem>(&result)) {
        ADD_FAILURE() << "refused at line " << problem->line << ": " << problem->message;
        return {};
    }
    return std::get<RegionDocument>(std::move(result));
}

std::vector<Point> rect(double left, double top, double right, double bottom) {
    return {{left, top}, {right, top}, {right, bottom}, {left, bottom}};
}

}  // namespace

TEST(XmlRegions, Page2019WithPointsAttributes) {
    const RegionDocument doc = read(R"(<?xml version="1.0" encoding="UTF-8"?>
<PcGts xmlns="http://schema.primaresearch.org/PAGE/gts/pagecontent/2019-07-15">
  <Metadata><Creator>x</Creator></Metadata>
  <Page imageFilename="p.png" imageWidth="300" imageHeight="200">
    <TextRegion id="r1"><Coords points="0,0 300,0 300,200 0,200"/>
      <TextLine id="l1">
        <Coords points="10,20 110,20 110,50.5 10,50.5"/>
        <Baseline points="10,45 110,44"/>
        <Word id="w1"><Coords points="10,20 50,20 50,50 10,50"/></Word>
        <Word id="w2"><Coords points="60,20 110,20 110,50 60,50"/></Word>
      </TextLine>
      <TextLine id="l2"><Coords points="10,60 110,60 110,90"/></TextLine>
    </TextRegion>
  </Page>
</PcGts>)",
                                    PageSize{300, 200});
    EXPECT_EQ(doc.format, RegionDocument::Format::Page);
    EXPECT_EQ(doc.declared, (PageSize{300, 200}));
    ASSERT_EQ(doc.lines.size(), 2u);
    EXPECT_EQ(doc.lines[0].id, "l1");
    EXPECT_EQ(doc.lines[0].line, 6u);
    EXPECT_EQ(doc.lines[0].polygon, rect(10, 20, 110, 50.5));
    EXPECT_EQ(doc.lines[0].baseline, (std::vector<Point>{{10, 45}, {110, 44}}));
    EXPECT_EQ(doc.lines[1].polygon.size(), 3u);
    EXPECT_TRUE(doc.lines[1].baseline.empty());
    ASSERT_EQ(doc.words.size(), 2u);
    EXPECT_EQ(doc.words[1].id, "w2");
    EXPECT_EQ(doc.words[1].polygon, rect(60, 20, 110, 50));
}

TEST(XmlRegions, Page2009WithPointChildrenAndAPrefix) {
    const RegionDocument doc = read(R"(<pc:PcGts xmlns:pc="http://schema.primaresearch.org/PAGE/gts/pagecontent/2009-03-16">
<pc:Page imageWidth="50" imageHeight="40">
  <pc:TextRegion id="r">
    <pc:TextLine id="a"><pc:Coords><pc:Point x="1" y="2"/><pc:Point x="9" y="2"/><pc:Point x="9" y="6"/></pc:Coords></pc:TextLine>
    <pc:TextLine>
      <pc:Coords><pc:Point x="1" y="10"/><pc:Point x="9" y="10"/><pc:Point x="9" y="16"/><pc:Point x="1" y="16"/></pc:Coords>
      <pc:Baseline><pc:Point x="1" y="15"/><pc:Point x="9" y="15"/></pc:Baseline>
    </pc:TextLine>
  </pc:TextRegion>
</pc:Page></pc:PcGts>)");
    EXPECT_EQ(doc.declared, (PageSize{50, 40}));
    ASSERT_EQ(doc.lines.size(), 2u);
    EXPECT_EQ(doc.lines[0].polygon, (std::vector<Point>{{1, 2}, {9, 2}, {9, 6}}));
    EXPECT_EQ(doc.lines[1].id, "line 2");
    EXPECT_EQ(doc.lines[1].line, 5u);
    EXPECT_EQ(doc.lines[1].polygon, rect(1, 10, 9, 16));
    EXPECT_EQ(doc.lines[1].baseline, (std::vector<Point>{{1, 15}, {9, 15}}));
}

TEST(XmlRegions, AltoV2RectanglesAndAHeightBaseline) {
    const RegionDocument doc = read(R"(<alto xmlns="http://www.loc.gov/standards/alto/ns-v2#">
<Description><MeasurementUnit>pixel</MeasurementUnit></Description>
<Layout><Page ID="p" WIDTH="400" HEIGHT="300"><PrintSpace><TextBlock ID="b">
  <TextLine ID="L1" HPOS="10" VPOS="20" WIDTH="200" HEIGHT="40" BASELINE="52">
    <String ID="S1" CONTENT="ab" HPOS="10" VPOS="22" WIDTH="80" HEIGHT="36"/><SP/>
    <String CONTENT="cd" HPOS="100" VPOS="22" WIDTH="110" HEIGHT="36"/>
  </TextLine>
</TextBlock></PrintSpace></Page></Layout></alto>)");
    EXPECT_EQ(doc.format, RegionDocument::Format::Alto);
    EXPECT_EQ(doc.declared, (PageSize{400, 300}));
    ASSERT_EQ(doc.lines.size(), 1u);
    EXPECT_EQ(doc.lines[0].polygon, rect(10, 20, 210, 60));
    EXPECT_EQ(doc.lines[0].baseline, (std::vector<Point>{{10, 52}, {210, 52}}));
    ASSERT_EQ(doc.words.size(), 2u);
    EXPECT_EQ(doc.words[0].id, "S1");
    EXPECT_EQ(doc.words[1].id, "word 2");
    EXPECT_EQ(doc.words[1].polygon, rect(100, 22, 210, 58));
    EXPECT_TRUE(doc.words[1].baseline.empty());
}

TEST(XmlRegions, AltoV4PolygonsAndPointBaselines) {
    const RegionDocument doc = read(R"(<alto xmlns="http://www.loc.gov/standards/alto/ns-v4#">
<Layout><Page WIDTH="100" HEIGHT="80"><PrintSpace><TextBlock>
  <TextLine ID="a" BASELINE="5 30 95 28" HPOS="1" VPOS="1" WIDTH="2" HEIGHT="2">
    <Shape><Polygon POINTS="5 10 95 10 95 35 5 35"/></Shape>
  </TextLine>
  <TextLine ID="b" BASELINE="5,60 50,61 95,60">
    <Shape><Polygon POINTS="5,40 95,40 95,65 5,65"/></Shape>
  </TextLine>
</TextBlock></PrintSpace></Page></Layout></alto>)",
                                    PageSize{100, 80});
    ASSERT_EQ(doc.lines.size(), 2u);
    EXPECT_EQ(doc.lines[0].polygon, rect(5, 10, 95, 35));  // the shape, not the box
    EXPECT_EQ(doc.lines[0].baseline, (std::vector<Point>{{5, 30}, {95, 28}}));
    EXPECT_EQ(doc.lines[1].polygon, rect(5, 40, 95, 65));
    EXPECT_EQ(doc.lines[1].baseline, (std::vector<Point>{{5, 60}, {50, 61}, {95, 60}}));
}

TEST(XmlRegions, Mm10IsScaledToTheImage) {
    const std::string xml = R"(<alto xmlns="http://www.loc.gov/standards/alto/ns-v3#">
<Description><MeasurementUnit> mm10 </MeasurementUnit></Description>
<Layout><Page WIDTH="2000" HEIGHT="3000"><PrintSpace><TextBlock>
  <TextLine ID="a" HPOS="100" VPOS="300" WIDTH="1000" HEIGHT="150" BASELINE="420"/>
</TextBlock></PrintSpace></Page></Layout></alto>)";
    const RegionDocument doc = read(xml, PageSize{1000, 1000});
    EXPECT_EQ(doc.declared, (PageSize{1000, 1000}));
    ASSERT_EQ(doc.lines.size(), 1u);
    EXPECT_EQ(doc.lines[0].polygon, rect(50, 100, 550, 150));
    EXPECT_EQ(doc.lines[0].baseline, (std::vector<Point>{{50, 140}, {550, 140}}));
}

TEST(XmlRegions, BadInputIsRefusedWithItsLine) {
    const std::string page = R"(<PcGts xmlns="http://schema.primaresearch.org/PAGE/gts/pagecontent/2013-07-15">
<Page imageWidth="300" imageHeight="200">
)";
    const std::string alto = "<alto xmlns=\"http://www.loc.gov/standards/alto/ns-v4#\">\n";
    struct Case {
        std::string xml;
        std::optional<PageSize> image;
        std::string message;  // what the message starts with
        std::size_t line;
    };
    const std::vector<Case> cases{
        {page + "<TextLine id=\"a\">\n<Coords points=\"1,1 2,2\">\n</TextLine></Page></PcGts>", {},
         "not well-formed XML: ", 5},
        {"<?xml version=\"1.0\"?>\n<html/>", {}, "unknown root element html", 2},
        {"<PcGts xmlns=\"http://schema.primaresearch.org/PAGE/gts/pagecontent/2020-07-15\"/>", {},
         "unknown namespace http://schema.primaresearch.org/PAGE/gts/pagecontent/2020-07-15", 1},
        {"<alto xmlns=\"http://www.loc.gov/standards/alto/ns-v5#\"/>", {}, "unknown namespace", 1},
        {page + "<TextLine id=\"a\"><Coords points=\"1,1 2,2 3,3\"/></TextLine>\n"
                "<TextLine id=\"b\">\n<Coords points=\"1,1 2,x 3,3\"/></TextLine></Page></PcGts>",
         {}, "points that are not numbers in region b", 5},
        {page + "<TextLine id=\"c\"><Coords points=\"1,1 2,2 3,3\"/><Baseline points=\"1,1 nan\"/></TextLine>\n"
                "</Page></PcGts>",
         {}, "points that are not numbers in region c", 3},
        {alto + "<Layout><Page WIDTH=\"9\" HEIGHT=\"9\">\n<TextLine ID=\"d\"><Shape>\n"
                "<Polygon POINTS=\"1 1 2 2 3\"/></Shape></TextLine></Page></Layout></alto>",
         {}, "an odd count of numbers in the points of region d", 4},
        {page + "<TextLine id=\"e\"/></Page></PcGts>", {}, "region e has no Coords", 3},
        {page + "</Page></PcGts>", PageSize{300, 201}, "the page is 300x200 in the file but the image is 300x201", 2},
        {alto + "<Layout>\n<Page WIDTH=\"30\" HEIGHT=\"20\"/></Layout></alto>", PageSize{20, 30},
         "the page is 30x20 in the file but the image is 20x30", 3},
        {alto + "<Description><MeasurementUnit>inch1200</MeasurementUnit></Description>\n"
                "<Layout><Page WIDTH=\"30\" HEIGHT=\"20\"/></Layout></alto>",
         {}, "coordinates in inch1200 need the page image's size", 2},
    };
    for (const Case& c : cases) {
        const auto result = readRegionXml(c.xml, c.image);
        const auto* problem = std::get_if<XmlProblem>(&result);
        ASSERT_NE(problem, nullptr) << c.message;
        EXPECT_TRUE(problem->message.starts_with(c.message)) << problem->message;
        EXPECT_EQ(problem->line, c.line) << problem->message;
    }
}

TEST(XmlRegions, RealAltoPagesRasteriseEveryLine) {
    const std::filesystem::path folder = CORVANEL_REALPAGES;
    if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no real pages at " << folder;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().extension() == ".xml") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());
    std::string counts;
    for (const auto& file : files) {
        const auto result = readRegionXmlFile(file);
        const auto* problem = std::get_if<XmlProblem>(&result);
        ASSERT_EQ(problem, nullptr) << file.filename() << ":" << problem->line << ": " << problem->message;
        const RegionDocument& doc = std::get<RegionDocument>(result);
        ASSERT_TRUE(doc.declared) << file.filename();
        EXPECT_GE(doc.lines.size(), 10u) << file.filename();
        std::vector<std::string> warnings;
        const LabelMap map = rasterise(doc.lines, *doc.declared, &warnings);
        std::vector<std::size_t> area(doc.lines.size() + 1, 0);
        for (std::size_t i = 0; i < map.pixelCount(); ++i) ++area[static_cast<std::size_t>(map.data()[i])];
        for (std::size_t i = 1; i < area.size(); ++i)
            EXPECT_GT(area[i], 0u) << file.filename() << ": line " << doc.lines[i - 1].id;
        EXPECT_TRUE(warnings.empty()) << file.filename() << ": " << warnings.front();
        counts += file.stem().string() + "=" + std::to_string(doc.lines.size()) + " ";
    }
    RecordProperty("lines", counts);
}
