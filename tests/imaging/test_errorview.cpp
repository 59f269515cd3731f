// The error view: which colour each pixel gets, and that painting slice by
// slice gives the picture painting whole maps gives.

#include "imaging/errorview.h"
#include "eval/evaluate.h"

#include <gtest/gtest.h>

#include <algorithm>

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

}  // namespace
}  // namespace corvanel::imaging
