// Selecting a page and painting label maps over it: the overlay's pixel
// bytes, the region counts, and the fields each handler fills or empties.

#include "tests/app/app_fixture.h"

#include <QCheckBox>
#include <QFrame>
#include <QImage>
#include <QRadioButton>
#include <QRect>

#include <map>

namespace corvanel::app {
namespace {

namespace fs = std::filesystem;

constexpr PageSize kPage{40, 20};
constexpr std::size_t kPixels = 40 * 20;

// A rectangle of the overlay and the byte expected in it.
struct Fill {
    int x, y, width, height;
    std::uint8_t value;
};

void fill(std::vector<std::uint8_t>& px, const Fill& f) {
    for (int y = f.y; y < f.y + f.height; ++y)
        for (int x = f.x; x < f.x + f.width; ++x) px[static_cast<std::size_t>(y * kPage.width + x)] = f.value;
}

void outline(std::vector<std::uint8_t>& px, const QRect& r) {
    for (const Fill& f : {Fill{r.left(), r.top(), r.width(), 1, 1}, Fill{r.left(), r.bottom(), r.width(), 1, 1},
                          Fill{r.left(), r.top(), 1, r.height(), 1}, Fill{r.right(), r.top(), 1, r.height(), 1}})
        fill(px, f);
}

// The page of every test here: paper with one ink stroke along row 10.
std::vector<std::uint8_t> plainPage() {
    std::vector<std::uint8_t> px(kPixels, 255);
    fill(px, {0, 10, 40, 1, 0});
    return px;
}

std::vector<std::uint8_t> expected(std::initializer_list<Fill> fills) {
    std::vector<std::uint8_t> px = plainPage();
    for (const Fill& f : fills) fill(px, f);
    return px;
}

class PageViewTest : public WorkspaceTest {
protected:
    void openPage() {
        writePage("page01.tif", blocks(kPage, {{1, 0, 10, 40, 1}}));
        open({});
        select(0);
    }

    std::vector<std::uint8_t> overlay() const {
        const imaging::SavedBuffer* buffer = form->overlayBuffer();
        if (!buffer) return {};
        return {buffer->data() + form->pixelOffset(), buffer->data() + buffer->size()};
    }

    std::vector<std::uint8_t> shown() const {
        const QImage& image = form->ImagXpress7_1->image();
        std::vector<std::uint8_t> px;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) px.push_back(static_cast<std::uint8_t>(image.pixelIndex(x, y)));
        return px;
    }
};

TEST_F(PageViewTest, SelectingAPageShowsItInBlackAndWhiteWithItsSizeAndNoRegionCounts) {
    writePage("page01.tif", blocks(kPage, {{1, 0, 10, 40, 1}}));
    QImage colour(24, 12, QImage::Format_RGB32);
    colour.fill(qRgb(255, 255, 200));
    colour.setPixel(3, 4, qRgb(120, 0, 0));
    ASSERT_TRUE(colour.save(QString::fromStdString((dir.path() / "images" / "colour.png").string())));
    open({});

    const struct {
        const char* name;
        PageSize size;
        const char* sizeText;
    } pages[] = {{"colour.png", {24, 12}, "24x12"}, {"page01.tif", kPage, "40x20"}};
    // With no label maps, no view fills a count.
    for (QRadioButton* view : {form->RadioButton4, form->RadioButton5}) {
        for (int row = 0; row < 2; ++row) {
            SCOPED_TRACE(pages[row].name + (" " + view->text()).toStdString());
            view->setChecked(true);
            form->LabeledEdit1->setText("9");
            form->LabeledEdit2->setText("9");
            select(row);
            EXPECT_EQ(form->currentPagePath(), dir.path() / "images" / pages[row].name);
            EXPECT_EQ(form->LabeledEdit3->text(), pages[row].sizeText);
            EXPECT_EQ(form->pageSize(), pages[row].size);
            EXPECT_EQ(form->LabeledEdit1->text(), "");
            EXPECT_EQ(form->LabeledEdit2->text(), "");
            if (view == form->RadioButton4) {
                // Before any overlay both controls hold the page at one bit;
                // in the colour page dark red became ink.
                EXPECT_EQ(form->ImagXpress7_1->IBPP(), 1);
                EXPECT_EQ(form->ImagXpress7_2->IBPP(), 1);
                EXPECT_EQ(QColor(form->ImagXpress7_2->image().pixel(3, 4)), QColor(row == 0 ? Qt::black : Qt::white));
                EXPECT_EQ(QColor(form->ImagXpress7_2->image().pixel(0, 0)), QColor(Qt::white));
            }
        }
    }
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
}

TEST_F(PageViewTest, GroundTruthPaintsLabelValuesThenOutlinesAndCountsTheLabelsThatOccur) {
    // Label 7 lies in two places; 8 to 127 are unused.
    const struct {
        Block block;
        std::uint8_t value;
    } regions[] = {{{1, 0, 0, 3, 2}, 50},    {{2, 4, 0, 2, 2}, 100}, {{3, 30, 9, 3, 3}, 150},
                   {{4, 9, 0, 1, 1}, 200},   {{5, 11, 0, 1, 1}, 250}, {{6, 13, 0, 1, 1}, 44},
                   {{128, 15, 0, 2, 2}, 0},  {{7, 20, 8, 1, 1}, 94},  {{7, 25, 12, 1, 1}, 94}};
    std::vector<Block> labels;
    std::map<std::int32_t, QRect> boxes;
    for (const auto& r : regions) {
        labels.push_back(r.block);
        boxes[r.block.label] |= QRect(r.block.x, r.block.y, r.block.width, r.block.height);
    }
    openPage();
    writeMap("gt", "lines", "page01.tif", blocks(kPage, labels));

    for (bool withBoxes : {false, true}) {
        SCOPED_TRACE(withBoxes ? "boxes" : "no boxes");
        std::vector<std::uint8_t> want = plainPage();
        for (const auto& r : regions) fill(want, {r.block.x, r.block.y, r.block.width, r.block.height, r.value});
        if (withBoxes)
            for (const auto& [label, box] : boxes) outline(want, box);

        form->CheckBox1->setChecked(withBoxes);
        if (withBoxes)
            form->CheckBox1Click();
        else
            form->RadioButton5->setChecked(true);
        EXPECT_EQ(overlay(), want);
        EXPECT_EQ(shown(), want);
        EXPECT_EQ(form->LabeledEdit1->text(), "8");
        EXPECT_EQ(form->LabeledEdit2->text(), "");
    }
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
}

TEST_F(PageViewTest, EachViewFillsOnlyItsOwnCountAndNoneEmptiesBoth) {
    openPage();
    writeMap("gt", "lines", "page01.tif", blocks(kPage, {{1, 0, 0, 4, 4}, {2, 5, 0, 4, 4}}));
    writeMap("results", "lines", "page01.tif", blocks(kPage, {{1, 0, 5, 2, 2}, {2, 4, 5, 2, 2}, {7, 8, 5, 2, 2}}));
    writeMap("gt", "words", "page01.tif", blocks(kPage, {{9, 20, 0, 3, 3}}));

    form->RadioButton5->setChecked(true);
    EXPECT_EQ(form->LabeledEdit1->text(), "2");
    EXPECT_EQ(form->LabeledEdit2->text(), "");

    form->RadioButton6->setChecked(true);
    EXPECT_EQ(overlay(), expected({{0, 5, 2, 2, 50}, {4, 5, 2, 2, 100}, {8, 5, 2, 2, 94}}));
    EXPECT_EQ(form->LabeledEdit1->text(), "2");
    EXPECT_EQ(form->LabeledEdit2->text(), "3");

    form->RadioButton4->setChecked(true);
    EXPECT_EQ(form->LabeledEdit1->text(), "");
    EXPECT_EQ(form->LabeledEdit2->text(), "");

    form->RadioButton5->setChecked(true);
    form->RadioButton2->setChecked(true);
    EXPECT_EQ(overlay(), expected({{20, 0, 3, 3, 194}}));
    EXPECT_EQ(form->LabeledEdit1->text(), "1");
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
}

TEST_F(PageViewTest, AMapThatCannotBeReadPaintsNothingAndKeepsTheCount) {
    openPage();
    const fs::path path = mapPath("gt", "lines", "page01.tif");
    const auto good = [&] { writeMap("gt", "lines", "page01.tif", blocks(kPage, {{1, 0, 0, 4, 4}, {2, 5, 0, 4, 4}})); };
    const struct {
        const char* name;
        std::function<void()> spoil;
        QStringList messages;
    } cases[] = {
        {"missing", [&] { fs::remove(path); }, {}},
        {"one label short", [&] { fs::resize_file(path, fs::file_size(path) - 4); },
         {"Problem with file page01.tif.dat"}},
        {"negative label",
         [&] { writeMap("gt", "lines", "page01.tif", blocks(kPage, {{1, 0, 0, 4, 4}, {-3, 5, 6, 1, 1}})); },
         {"Problem with file page01.tif.dat: negative label -3 at x=5, y=6"}},
    };
    form->RadioButton5->setChecked(true);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        good();
        form->RadioButton5Click();
        ASSERT_EQ(form->LabeledEdit1->text(), "2");
        c.spoil();
        messages.clear();
        form->RadioButton5Click();
        EXPECT_EQ(messages, c.messages);
        EXPECT_EQ(overlay(), plainPage());
        EXPECT_EQ(form->LabeledEdit1->text(), "2");
    }
}

TEST_F(PageViewTest, AMissingPageChangesOnlyThePathAndAnUnloadableOneLeavesNoSize) {
    writePage("page01.tif", blocks(kPage, {{1, 0, 10, 40, 1}}));
    writePage("page02.tif", blocks({30, 30}, {}));
    testing::writeBytes(dir.path() / "images" / "bad.tif", "not an image at all");
    writeMap("gt", "lines", "page01.tif", blocks(kPage, {{1, 0, 0, 4, 4}}));
    open({});
    form->RadioButton5->setChecked(true);
    select(1);
    ASSERT_EQ(form->LabeledEdit1->text(), "1");
    const QImage before = form->ImagXpress7_1->image();

    fs::remove(dir.path() / "images" / "page02.tif");
    select(2);
    EXPECT_EQ(form->currentPagePath(), dir.path() / "images" / "page02.tif");
    EXPECT_EQ(form->ImagXpress7_1->image(), before);
    EXPECT_EQ(form->LabeledEdit3->text(), "40x20");
    EXPECT_EQ(form->pageSize(), kPage);
    EXPECT_EQ(form->LabeledEdit1->text(), "1");
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();

    select(0);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith("Cannot load the image bad.tif")) << messages[0].toStdString();
    EXPECT_EQ(form->pageSize(), PageSize{});
    EXPECT_EQ(form->LabeledEdit3->text(), "");

    // Neither page has an image whose size an evaluation could use.
    for (int row : {0, 2}) {
        select(row);
        messages.clear();
        form->Button7Click();
        const std::string name = row == 0 ? "bad.tif" : "page02.tif";
        EXPECT_EQ(messages, QStringList{QString::fromStdString(
                                "Cannot read the page image " + name + "; the page was not evaluated")});
        EXPECT_EQ(form->LabeledEdit4->text(), "");
    }
}

TEST_F(PageViewTest, HeaderSizesNeverReachOutsideThePageAndUntickingRestoresThePageSize) {
    const struct {
        const char* name;
        LabelMap map;
        bool boxes;
        std::vector<std::uint8_t> want;
        const char* count;
    } cases[] = {
        // Wider and taller: label 1 runs off the right and bottom, label 3 lies below the page.
        {"50x30", blocks({50, 30}, {{1, 36, 0, 14, 30}, {2, 0, 19, 1, 1}, {3, 0, 25, 1, 1}}), true,
         expected({{36, 0, 4, 20, 50}, {36, 0, 1, 20, 1}, {36, 0, 4, 1, 1}, {0, 19, 1, 1, 1}}), "3"},
        // Narrower: rows are 30 labels long, so (29, 9) stays at (29, 9).
        {"30x10", blocks({30, 10}, {{4, 29, 9, 1, 1}}), false, expected({{29, 9, 1, 1, 200}}), "1"},
    };
    openPage();
    form->RadioButton5->setChecked(true);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeMap("gt", "lines", "page01.tif", c.map, true);
        form->CheckBox1->setChecked(c.boxes);
        form->CheckBox3->setChecked(true);
        form->CheckBox3Click();
        EXPECT_EQ(overlay(), c.want);
        EXPECT_EQ(form->LabeledEdit1->text(), c.count);
        EXPECT_EQ(form->pageSize(), kPage);

        form->CheckBox1Click();
        EXPECT_EQ(form->pageSize(), c.map.size()) << "a header's size stays after a redraw";
        form->CheckBox3->setChecked(false);
        form->CheckBox3Click();
        EXPECT_EQ(form->pageSize(), kPage);
        EXPECT_EQ(overlay().size(), kPixels);
    }
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
}

TEST_F(PageViewTest, ManyToOneBoxTogglesTheWeightsAndDetailFieldsWhateverItsTick) {
    open({});
    QWidget* const fields[] = {form->Panel5, form->LabeledEdit7, form->LabeledEdit8, form->LabeledEdit11,
                               form->LabeledEdit12};
    for (bool visible : {true, false, true}) {
        form->CheckBox4Click();
        for (QWidget* w : fields) EXPECT_EQ(w->isVisible(), visible) << w->objectName().toStdString();
    }
    EXPECT_FALSE(form->CheckBox4->isChecked());
}

}  // namespace
}  // namespace corvanel::app
