#include "tools/handwriting.h"

#include <QFont>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QTransform>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <random>
#include <stdexcept>

namespace corvanel::synth {

namespace {

// Families from Debian's handwriting font packages (fonts-dkg-handwriting,
// fonts-bwht, fonts-dancingscript, fonts-breip, fonts-femkeklaver,
// fonts-rufscript).
const char* const kFamilies[] = {
    "DkgHandwriting",    "Because We Learn", "Because We Organize", "Because We Mentor",
    "Because We Create", "Dancing Script",   "Breip",               "femkeklaver",
    "Rufscript",
};

const char* const kWords[] = {
    "the",     "of",      "and",     "to",      "in",      "is",      "was",     "that",    "for",
    "on",      "with",    "as",      "his",     "they",    "at",      "be",      "this",    "from",
    "have",    "or",      "by",      "one",     "had",     "not",     "but",     "what",    "all",
    "were",    "when",    "we",      "there",   "can",     "an",      "your",    "which",   "their",
    "said",    "each",    "she",     "do",      "how",     "will",    "up",      "other",   "about",
    "out",     "many",    "then",    "them",    "these",   "so",      "some",    "her",     "would",
    "make",    "like",    "him",     "into",    "time",    "has",     "look",    "two",     "more",
    "write",   "go",      "see",     "number",  "no",      "way",     "could",   "people",  "my",
    "than",    "first",   "water",   "been",    "call",    "who",     "oil",     "its",     "now",
    "find",    "long",    "down",    "day",     "did",     "get",     "come",    "made",    "may",
    "part",    "over",    "new",     "sound",   "take",    "only",    "little",  "work",    "know",
    "place",   "year",    "live",    "back",    "give",    "most",    "very",    "after",   "thing",
    "our",     "just",    "name",    "good",    "sentence", "man",    "think",   "say",     "great",
    "where",   "help",    "through", "much",    "before",  "line",    "right",   "too",     "mean",
    "old",     "any",     "same",    "tell",    "boy",     "follow",  "came",    "want",    "show",
    "also",    "around",  "form",    "three",   "small",   "set",     "put",     "end",     "does",
    "another", "well",    "large",   "must",    "big",     "even",    "such",    "because", "turn",
    "here",    "why",     "ask",     "went",    "men",     "read",    "need",    "land",    "different",
    "home",    "us",      "move",    "try",     "kind",    "hand",    "picture", "again",   "change",
    "off",     "play",    "spell",   "air",     "away",    "animal",  "house",   "point",   "page",
    "letter",  "mother",  "answer",  "found",   "study",   "still",   "learn",   "should",  "world",
    "high",    "every",   "near",    "add",     "food",    "between", "own",     "below",   "country",
    "plant",   "last",    "school",  "father",  "keep",    "tree",    "never",   "start",   "city",
    "earth",   "eyes",    "light",   "thought", "head",    "under",   "story",   "saw",     "left",
    "few",     "while",   "along",   "might",   "close",   "something", "seem",  "next",    "hard",
    "open",    "example", "begin",   "life",    "always",  "those",   "both",    "paper",   "together",
    "got",     "group",   "often",   "run",     "important", "until", "children", "side",  "feet",
    "car",     "mile",    "night",   "walk",    "white",   "sea",     "began",   "grow",    "took",
    "river",   "four",    "carry",   "state",   "once",    "book",    "hear",    "stop",    "without",
    "second",  "later",   "miss",    "idea",    "enough",  "eat",     "face",    "watch",   "far",
    "really",  "almost",  "let",     "above",   "girl",    "sometimes", "mountain", "cut", "young",
    "talk",    "soon",    "list",    "song",    "being",   "leave",   "family",  "morning", "garden",
};

// Running text: sentences of a few words, capitalised and punctuated.
class TextSource {
public:
    explicit TextSource(std::mt19937_64& rng) : rng_(rng) {}

    QString next() {
        std::uniform_int_distribution<std::size_t> pick(0, std::size(kWords) - 1);
        QString word = QString::fromLatin1(kWords[pick(rng_)]);
        if (left_ == 0) {
            left_ = std::uniform_int_distribution<int>(4, 14)(rng_);
            word[0] = word[0].toUpper();
        }
        --left_;
        if (left_ == 0)
            word += QLatin1Char('.');
        else if (std::uniform_real_distribution<double>(0, 1)(rng_) < 0.08)
            word += QLatin1Char(',');
        return word;
    }

private:
    std::mt19937_64& rng_;
    int left_ = 0;
};

// Paints a word's outline and gives its ink, where no earlier word's ink is,
// the word's and the line's labels. Returns the box of the pixels it labelled
// (empty when none).
Box stampWord(SyntheticPage& page, const QPainterPath& outline, double pen, std::int32_t word,
              std::int32_t line) {
    const std::int32_t width = page.gtWords.width(), height = page.gtWords.height();
    const QRectF r = outline.boundingRect().adjusted(-pen - 1, -pen - 1, pen + 1, pen + 1);
    const auto x0 = std::clamp(static_cast<std::int32_t>(std::floor(r.left())), 0, width);
    const auto y0 = std::clamp(static_cast<std::int32_t>(std::floor(r.top())), 0, height);
    const auto x1 = std::clamp(static_cast<std::int32_t>(std::ceil(r.right())), 0, width);
    const auto y1 = std::clamp(static_cast<std::int32_t>(std::ceil(r.bottom())), 0, height);
    Box box{x1, y1, x0, y0};
    if (x1 <= x0 || y1 <= y0) return box;

    QImage ink(x1 - x0, y1 - y0, QImage::Format_Grayscale8);
    ink.fill(255);
    QPainter painter(&ink);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(-x0, -y0);
    painter.fillPath(outline, Qt::black);
    if (pen > 0) painter.strokePath(outline, QPen(Qt::black, pen, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.end();

    for (std::int32_t y = y0; y < y1; ++y) {
        const uchar* row = ink.constScanLine(y - y0);
        const std::size_t base = static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        for (std::int32_t x = x0; x < x1; ++x) {
            if (row[x - x0] >= 128 || page.gtWords.data()[base + x] != 0) continue;
            page.gtWords.data()[base + x] = word;
            page.gtLines.data()[base + x] = line;
            box = Box{std::min(box.left, x), std::min(box.top, y), std::max(box.right, x + 1),
                      std::max(box.bottom, y + 1)};
        }
    }
    return box;
}

bool empty(const Box& b) { return b.right <= b.left || b.bottom <= b.top; }

Box unite(const Box& a, const Box& b) {
    if (empty(a)) return b;
    return Box{std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
               std::max(a.bottom, b.bottom)};
}

}  // namespace

QStringList handwritingFamilies() {
    const QStringList installed = QFontDatabase::families();
    QStringList found;
    for (const char* family : kFamilies)
        if (installed.contains(QString::fromLatin1(family))) found << QString::fromLatin1(family);
    return found;
}

SyntheticPage makeHandwrittenPage(const PageLayout& layout) {
    const QStringList families = handwritingFamilies();
    if (families.isEmpty())
        throw std::runtime_error(
            "no handwriting font is installed (fonts-dkg-handwriting, fonts-bwht, fonts-dancingscript, "
            "fonts-breip, fonts-femkeklaver or fonts-rufscript)");

    std::mt19937_64 rng(layout.seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    auto between = [&](double lo, double hi) { return lo + (hi - lo) * unit(rng); };

    // The writer.
    QFont font(families[static_cast<qsizetype>(rng() % static_cast<std::uint64_t>(families.size()))]);
    const double W = layout.width, H = layout.height;
    const double left = W * between(0.05, 0.12), right = W * (1 - between(0.04, 0.08));
    const double top = H * between(0.04, 0.07), bottom = H * (1 - between(0.04, 0.07));
    const int lines = std::max(1, layout.lines);
    const double pitch = (bottom - top) / lines;
    const double slant = between(-0.08, 0.32);
    const double wordGap = between(0.7, 1.6);  // in the font's spaces
    const double driftMean = between(-0.012, 0.012);
    const double bowMean = between(-0.12, 0.12);  // baseline curvature, in pitches
    const double skew = between(-1.2, 1.2);       // degrees, the whole sheet
    const bool touching = unit(rng) < 0.35;

    // Size the writing from the ink's real height at 100 px, so tall or
    // short fonts fill the lines alike.
    font.setPixelSize(100);
    QPainterPath probe;
    probe.addText(0, 0, font, QStringLiteral("Hdlbkgjpqy"));
    const double above = -probe.boundingRect().top(), below = probe.boundingRect().bottom();
    double sumAdvance = 0;
    const QFontMetricsF at100(font);
    for (const char* w : kWords) sumAdvance += at100.horizontalAdvance(QString::fromLatin1(w));
    const double perWord = sumAdvance / static_cast<double>(std::size(kWords)) + wordGap * at100.horizontalAdvance(' ');
    const double fromPitch = 100 * pitch * (touching ? between(1.02, 1.15) : between(0.7, 0.88)) / (above + below);
    const double fromWords = 100 * (right - left) / (std::max(1, layout.wordsPerLine) * perWord);
    const double size = touching ? fromPitch : std::min(fromPitch, fromWords);
    font.setPixelSize(std::max(8, static_cast<int>(std::lround(size))));
    const double scale = font.pixelSize() / 100.0;
    const QFontMetricsF metrics(font);
    const double space = metrics.horizontalAdvance(' ');
    const double pen = between(0.0, std::max(0.0, font.pixelSize() / 40.0));

    QTransform sheet;
    sheet.translate(W / 2, H / 2);
    sheet.rotate(skew);
    sheet.translate(-W / 2, -H / 2);

    SyntheticPage page = blankPage(layout);
    std::vector<std::vector<Box>> words;
    std::vector<Box> lineBoxes;
    std::int32_t wordLabel = 0;
    TextSource text(rng);
    QString pending = text.next();
    for (int l = 0; l < lines; ++l) {
        const double bandTop = top + l * pitch;
        const double baseline = bandTop + pitch / 2 + scale * (above - below) / 2 + 0.04 * pitch * normal(rng);
        const double drift = driftMean + 0.003 * normal(rng);
        const double bow = (bowMean + 0.05 * normal(rng)) * pitch;
        const double end = right - between(0.0, 0.06) * W;
        const double span = end - left;
        const auto lineLabel = static_cast<std::int32_t>(lineBoxes.size()) + 1;
        std::vector<Box> lineWords;
        Box lineBox{0, 0, 0, 0};
        double x = left + (unit(rng) < 0.15 ? between(0.03, 0.08) * W : 0.0);
        while (true) {
            const double advance = metrics.horizontalAdvance(pending);
            if (x + advance > end && !lineWords.empty()) break;
            const double t = std::clamp((x + advance / 2 - left) / span, 0.0, 1.0);
            const double y = baseline + drift * (x - left) + bow * 4 * t * (1 - t) + 0.03 * pitch * normal(rng);
            const double slope = drift + bow * 4 * (1 - 2 * t) / span;
            QTransform pen2page;
            pen2page.translate(x, y);
            pen2page.rotate(std::atan(slope) * 180 / 3.14159265358979 + 0.4 * normal(rng));
            pen2page.shear(-(slant + 0.04 * normal(rng)), 0);
            QPainterPath outline;
            outline.addText(0, 0, font, pending);
            const Box b = stampWord(page, (pen2page * sheet).map(outline), pen, wordLabel + 1, lineLabel);
            if (!empty(b)) {
                ++wordLabel;
                lineWords.push_back(b);
                lineBox = unite(lineBox, b);
            }
            x += advance + space * wordGap * std::max(0.3, 1 + 0.25 * normal(rng));
            pending = text.next();
            if (x >= end) break;
        }
        if (lineWords.empty()) continue;
        words.push_back(std::move(lineWords));
        lineBoxes.push_back(lineBox);
    }

    // Scanner specks: ink that belongs to no word.
    const auto specks = static_cast<int>(W * H / 150000 * between(0.5, 1.5));
    for (int s = 0; s < specks; ++s) {
        const double cx = between(0, W), cy = between(0, H), r = between(0.6, 2.2);
        for (auto y = static_cast<std::int32_t>(cy - r); y <= static_cast<std::int32_t>(cy + r); ++y)
            for (auto x = static_cast<std::int32_t>(cx - r); x <= static_cast<std::int32_t>(cx + r); ++x) {
                if (x < 0 || y < 0 || x >= layout.width || y >= layout.height) continue;
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) > r * r) continue;
                const std::size_t at = static_cast<std::size_t>(y) * static_cast<std::size_t>(layout.width) + x;
                if (page.gtWords.data()[at] == 0) page.specks.push_back(at);
            }
    }
    std::sort(page.specks.begin(), page.specks.end());
    page.specks.erase(std::unique(page.specks.begin(), page.specks.end()), page.specks.end());

    spoilResult(page, words, lineBoxes, layout.errorRate, rng);
    return page;
}

}  // namespace corvanel::synth
