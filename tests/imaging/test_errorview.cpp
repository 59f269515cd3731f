// The error view: which colour each pixel gets, and that painting slice by
// slice gives the picture painting whole maps gives.

#include "imaging/errorview.h"
#include "eval/evaluate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

namespace corvanel::imaging {
namespace {

LabelMap row(std::initializer_list<std::int32_t> labels) {
    LabelMap map(static_cast<std::int32_t>(labels.size()), 1);
    std::copy(labels.begin(), labels.end(), map.data());
    return map;
}

TEST(ErrorView, ErrorsWinOverMatchesInkShowsFullAndPaperTinted) {
    // gt 1 matched by result 1; gt 2 missed under false alarm 2 (score 33);
    // result 3 a false alarm on paper; a lone ink pixel at 7.
    const LabelMap gt = row({1, 1, 2, 2, 2, 0, 0, 0});
    const LabelMap rs = row({1, 1, 2, 0, 0, 3, 0, 0});
    const PageEvaluation e = evaluateMaps(gt, rs, 90, Weights{}, true);
    ASSERT_TRUE(e.diagnosis);
    QImage page(8, 1, QImage::Format_Mono);
    page.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});  // bit 0 is the ink here
    page.fill(1);
    for (int x : {0, 1, 2, 3, 7}) page.setPixel(x, 0, 0);

    const QImage view = paintErrorView(page, gt, rs, *e.diagnosis);
    ASSERT_EQ(view.size(), QSize(8, 1));
    auto tint = [](QRgb c) { return qRgb((qRed(c) * 35 + 255 * 65) / 100, (qGreen(c) * 35 + 255 * 65) / 100,
                                         (qBlue(c) * 35 + 255 * 65) / 100); };
    const QRgb want[] = {statusColour(RegionStatus::One2One), statusColour(RegionStatus::One2One),
                         statusColour(RegionStatus::Missed),   statusColour(RegionStatus::Missed),
                         tint(statusColour(RegionStatus::Missed)), tint(statusColour(RegionStatus::FalseAlarm)),
                         qRgb(255, 255, 255), qRgb(185, 185, 185)};
    for (int x = 0; x < 8; ++x) EXPECT_EQ(view.pixel(x, 0), want[x]) << x;

    // Fed a few labels at a time, across the row, it paints the same.
    ErrorViewPainter painter(page, gt.size(), *e.diagnosis);
    for (std::size_t at = 0; at < 8; at += 3) painter.add(gt.data() + at, rs.data() + at, std::min<std::size_t>(3, 8 - at));
    EXPECT_EQ(painter.finish(), view);
    // A page of another size is not drawn: labelled pixels count as ink.
    const QImage alone = paintErrorView(QImage(), gt, rs, *e.diagnosis);
    EXPECT_EQ(alone.pixel(5, 0), statusColour(RegionStatus::FalseAlarm));
    EXPECT_EQ(alone.pixel(7, 0), qRgb(255, 255, 255));
}

TEST(ComparisonView, EachSidesOwnOneToOneMatchesInItsColourTheRestFaded) {
    // Ground truth 1 to 4. The first matches 1 and 2 one to one; the second
    // 2 and 3, and merges 1 with 4.
    const LabelMap gt = row({1, 1, 2, 2, 3, 3, 4, 4, 0});
    const LabelMap first = row({5, 5, 6, 6, 0, 0, 0, 7, 0});
    const LabelMap second = row({8, 8, 6, 6, 3, 3, 8, 8, 0});
    const PageEvaluation a = evaluateMaps(gt, first, 90, Weights{}, true);
    const PageEvaluation b = evaluateMaps(gt, second, 90, Weights{}, true);
    ASSERT_TRUE(a.diagnosis && b.diagnosis);
    const MatchDifference d = matchDifference(*a.diagnosis, *b.diagnosis);
    EXPECT_EQ(d.firstOnly, std::vector<std::int32_t>{1});
    EXPECT_EQ(d.secondOnly, std::vector<std::int32_t>{3});
    const MatchDifference swapped = matchDifference(*b.diagnosis, *a.diagnosis);
    EXPECT_EQ(swapped.firstOnly, d.secondOnly);
    EXPECT_EQ(swapped.secondOnly, d.firstOnly);

    // Ink under 0, 2, 5, 6 and the unlabelled 8; the rest is paper.
    QImage page(9, 1, QImage::Format_Grayscale8);
    page.fill(255);
    for (int x : {0, 2, 5, 6, 8}) page.setPixel(x, 0, qRgb(0, 0, 0));
    const QImage view = paintComparisonView(page, gt, d);
    ASSERT_EQ(view.size(), QSize(9, 1));
    const QRgb blue = qRgb(0, 114, 178), orange = qRgb(230, 159, 0), white = qRgb(255, 255, 255),
               grey = qRgb(185, 185, 185);
    EXPECT_EQ(comparisonColour(true), blue);
    EXPECT_EQ(comparisonColour(false), orange);
    auto tint = [](QRgb c) { return qRgb((qRed(c) * 35 + 255 * 65) / 100, (qGreen(c) * 35 + 255 * 65) / 100,
                                         (qBlue(c) * 35 + 255 * 65) / 100); };
    const QRgb want[] = {blue, tint(blue), grey, white, tint(orange), orange, grey, white, grey};
    for (int x = 0; x < 9; ++x) EXPECT_EQ(view.pixel(x, 0), want[x]) << x;
}

// The picture written on its own: the view's pixels as they were, and below
// them a strip with the caption and each status's swatch and count, in
// colour-table entries of its own.
TEST(ErrorView, LegendStripBelowWithCaptionAndCountsKeepsThePage) {
    // gt 1 matched by result 1; gt 2 missed; results 2 and 3 false alarms.
    LabelMap gt(1000, 40), rs(1000, 40);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 1000; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * 1000 + static_cast<std::size_t>(x);
            gt.data()[i] = y < 10 ? 1 : (y >= 20 && y < 30 && x < 500) ? 2 : 0;
            rs.data()[i] = y < 10 ? 1 : (y >= 30 && x < 100) ? 2 : (y >= 30 && x >= 900) ? 3 : 0;
        }
    const PageEvaluation e = evaluateMaps(gt, rs, 90, Weights{}, true);
    ASSERT_TRUE(e.diagnosis);
    const StatusCounts counts = statusCounts(*e.diagnosis);
    EXPECT_EQ(counts.gt, (std::array<std::int64_t, kRegionStatusCount>{1, 0, 0, 1, 0}));
    EXPECT_EQ(counts.result, (std::array<std::int64_t, kRegionStatusCount>{1, 0, 0, 0, 2}));

    const QImage view = paintErrorView(QImage(), gt, rs, *e.diagnosis);
    const QString caption = QString::fromUtf8("page.png \u2014 baseline, lines, threshold 90%");
    const QImage out = withLegend(view, counts, caption);
    ASSERT_EQ(out.width(), view.width());
    ASSERT_GT(out.height(), view.height() + 20);
    for (int y = 0; y < view.height(); ++y)
        for (int x = 0; x < view.width(); x += 7) ASSERT_EQ(out.pixelIndex(x, y), view.pixelIndex(x, y)) << x << "," << y;
    // Below the page: no index of the view's, a swatch of every status, dark text.
    std::array<int, kRegionStatusCount> swatches{};
    int dark = 0, viewIndices = 0;
    for (int y = view.height(); y < out.height(); ++y)
        for (int x = 0; x < out.width(); ++x) {
            viewIndices += out.pixelIndex(x, y) < view.colorCount();
            const QRgb c = out.pixel(x, y);
            dark += qGray(c) < 96;
            for (int s = 0; s < kRegionStatusCount; ++s)
                swatches[static_cast<std::size_t>(s)] += c == statusColour(static_cast<RegionStatus>(s));
        }
    EXPECT_EQ(viewIndices, 0);
    for (int s = 0; s < kRegionStatusCount; ++s) EXPECT_GT(swatches[static_cast<std::size_t>(s)], 30) << s;
    EXPECT_GT(dark, 500);
    // The caption and the counts are drawn: another of either draws another strip.
    EXPECT_NE(withLegend(view, counts, "page.png \u2014 other, words, threshold 50%"), out);
    StatusCounts more = counts;
    more.gt[static_cast<std::size_t>(RegionStatus::Missed)] = 7;
    EXPECT_NE(withLegend(view, more, caption), out);

    // A page too narrow for the text gets a wider picture, paper beside it.
    const LabelMap gt3 = row({1, 1, 2}), rs3 = row({1, 1, 0});
    const PageEvaluation e3 = evaluateMaps(gt3, rs3, 90, Weights{}, true);
    const QImage wide =
        withLegend(paintErrorView(QImage(), gt3, rs3, *e3.diagnosis), statusCounts(*e3.diagnosis), caption);
    ASSERT_GT(wide.width(), 300);
    EXPECT_EQ(wide.pixel(0, 0), statusColour(RegionStatus::One2One));
    EXPECT_EQ(wide.pixel(2, 0), statusColour(RegionStatus::Missed));
    EXPECT_EQ(wide.pixel(3, 0), qRgb(255, 255, 255));
}

}  // namespace
}  // namespace corvanel::imaging
