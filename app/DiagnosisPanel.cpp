#include "app/DiagnosisPanel.h"

#include "imaging/errorview.h"
#include "imaging/imagecontrol.h"
#include "eval/scores.h"
#include "run/runner.h"

#include <QCheckBox>
#include <QEvent>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPixmap>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <system_error>

namespace corvanel::app {

namespace {

constexpr QPoint kTopLeft{7, 336};  // below the evaluation panel
constexpr int kMargin = 7;
constexpr int kRowHeight = 16;  // of the legend

enum Role { kSide = Qt::UserRole, kLabel, kBox };

QString statusText(RegionStatus s) {
    QString name = QString::fromLatin1(statusName(s).data(), static_cast<qsizetype>(statusName(s).size()));
    return name.replace(QLatin1Char('_'), QLatin1Char(' '));
}

QString levelText(Level level) { return QString::fromLatin1(levelName(level)); }

QIcon swatch(RegionStatus s) {
    QPixmap pixmap(10, 10);
    pixmap.fill(QColor::fromRgb(imaging::statusColour(s)));
    return QIcon(pixmap);
}

QString sideText(bool gtSide) { return gtSide ? QStringLiteral("ground truth") : QStringLiteral("result"); }

QString bestText(const RegionDiagnosis& r, bool gtSide) {
    if (!r.best) return QStringLiteral("no overlap");
    return QStringLiteral("best %1% (%2 %3)").arg(r.best->score).arg(sideText(!gtSide)).arg(r.best->label);
}

QRect boxRect(const Box& b) { return QRect(QPoint(b.left, b.top), QPoint(b.right, b.bottom)); }

}  // namespace

DiagnosisPanel::DiagnosisPanel(QWidget* parent, imaging::ImageControl* display) : QFrame(parent), display_(display) {
    setObjectName(QStringLiteral("DiagnosisPanel"));
    setAccessibleName(QStringLiteral("Diagnosis"));
    setFrameStyle(QFrame::Panel | QFrame::Raised);

    showErrors = new QCheckBox(QStringLiteral("Show errors"), this);
    showErrors->setObjectName(QStringLiteral("ShowErrors"));
    showErrors->setAccessibleName(QStringLiteral("Show errors"));
    caption = new QLabel(this);
    caption->setObjectName(QStringLiteral("ErrorCaption"));
    caption->setTextFormat(Qt::PlainText);

    legend = new QTableWidget(kRegionStatusCount, 3, this);
    legend->setObjectName(QStringLiteral("ErrorLegend"));
    legend->setAccessibleName(QStringLiteral("Error legend"));
    legend->setHorizontalHeaderLabels({QStringLiteral("Status"), QStringLiteral("Ground truth"), QStringLiteral("Result")});
    legend->verticalHeader()->hide();
    legend->verticalHeader()->setMinimumSectionSize(1);
    legend->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    legend->verticalHeader()->setDefaultSectionSize(kRowHeight);
    legend->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    legend->setEditTriggers(QAbstractItemView::NoEditTriggers);
    legend->setSelectionMode(QAbstractItemView::NoSelection);
    legend->setFocusPolicy(Qt::NoFocus);
    legend->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    legend->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    for (int s = 0; s < kRegionStatusCount; ++s) {
        const auto status = static_cast<RegionStatus>(s);
        legend->setItem(s, 0, new QTableWidgetItem(swatch(status), statusText(status)));
        for (int c = 1; c < 3; ++c) {
            auto* item = new QTableWidgetItem;
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            legend->setItem(s, c, item);
        }
    }
    legend->setFixedHeight(legend->horizontalHeader()->sizeHint().height() + kRowHeight * kRegionStatusCount +
                           2 * legend->frameWidth());

    problems = new QListWidget(this);
    problems->setObjectName(QStringLiteral("ProblemRegions"));
    problems->setAccessibleName(QStringLiteral("Problem regions"));
    problems->setSelectionMode(QAbstractItemView::SingleSelection);
    problems->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    problems->setTextElideMode(Qt::ElideRight);

    underCursor = new QLabel(this);
    underCursor->setObjectName(QStringLiteral("UnderTheCursor"));
    underCursor->setAccessibleName(QStringLiteral("Under the cursor"));
    underCursor->setTextFormat(Qt::PlainText);
    underCursor->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    underCursor->setFixedHeight(4 * underCursor->fontMetrics().lineSpacing() + 4);

    auto* top = new QHBoxLayout;
    top->addWidget(showErrors);
    top->addWidget(caption, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->setSpacing(4);
    layout->addLayout(top);
    layout->addWidget(legend);
    auto* listCaption = new QLabel(QStringLiteral("Problem regions, larger first:"), this);
    listCaption->setBuddy(problems);
    layout->addWidget(listCaption);
    layout->addWidget(problems, 1);
    layout->addWidget(underCursor);

    connect(showErrors, &QCheckBox::toggled, this, [this] { evaluate(false); });
    connect(problems, &QListWidget::itemSelectionChanged, this, &DiagnosisPanel::problemSelected);
    connect(display_, &imaging::ImageControl::pixelHovered, this, &DiagnosisPanel::hoverAt);
    connect(display_, &imaging::ImageControl::hoverLeft, this, &DiagnosisPanel::hoverLeft);
    parent->installEventFilter(this);
    fitParent();
    evaluate(false);
}

DiagnosisPanel::~DiagnosisPanel() = default;

bool DiagnosisPanel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parent() && event->type() == QEvent::Resize) fitParent();
    return QFrame::eventFilter(watched, event);
}

// The free area of the right-hand panel, which stretches with the window.
void DiagnosisPanel::fitParent() {
    const QWidget* p = parentWidget();
    setGeometry(kTopLeft.x(), kTopLeft.y(), std::max(0, p->width() - kTopLeft.x() - kMargin - 1),
                std::max(0, p->height() - kTopLeft.y() - kMargin));
}

void DiagnosisPanel::setSubject(Subject subject, bool reread) {
    if (hasSubject_ && subject == subject_ && !reread) {
        subject_.picture = std::move(subject.picture);  // the same page; the copy may have been converted
        return;
    }
    hasSubject_ = true;
    subject_ = std::move(subject);
    evaluate(reread);
}

QString DiagnosisPanel::missingMaps() const {
    QStringList why;
    for (MapKind kind : {MapKind::GroundTruth, MapKind::Result}) {
        const auto path = subject_.workspace.mapPath(kind, subject_.level, subject_.page);
        std::error_code ec;
        if (!std::filesystem::exists(path, ec))
            why << QStringLiteral("There is no %1 label map %2.")
                       .arg(kind == MapKind::GroundTruth ? "ground-truth" : "result",
                            QFile::decodeName(subject_.workspace.shown(path).c_str()));
    }
    return why.join(QLatin1Char('\n'));
}

void DiagnosisPanel::evaluate(bool reread) {
    diagnosis_.reset();
    errorView_ = QImage();
    problem_.clear();
    display_->setHighlight(std::nullopt);
    const bool page = hasSubject_ && !subject_.page.empty();
    if (!showErrors->isChecked()) {
        // Nothing is evaluated until asked for; the maps are let go. A page
        // without its maps says so all the same.
        loaded_ = PageEvaluation();
        loadedFrom_.reset();
        problem_ = page ? missingMaps() : QString();
        if (problem_.isEmpty()) problem_ = QStringLiteral("Tick \"Show errors\" to see what became of each region.");
    } else if (!page) {
        problem_ = QStringLiteral("No page is shown.");
    } else if (const std::int32_t T = parseThreshold(subject_.thresholdText.toStdString());
               !thresholdProblem(T).empty()) {
        problem_ = QString::fromStdString(thresholdProblem(T));
    } else {
        // The threshold alone changed: the maps and overlaps read stay good.
        const auto readAs = [](Subject s) {
            s.thresholdText.clear();
            s.picture = QImage();
            return s;
        };
        if (reread || !loaded_.success || !loadedFrom_ || !(*loadedFrom_ == readAs(subject_))) {
            RunSettings settings;
            settings.level = subject_.level;
            settings.readHeader = subject_.readHeader;
            settings.threshold = T;
            settings.diagnose = true;
            settings.keepMaps = true;
            PageOutcome outcome = evaluatePage(subject_.workspace, settings, subject_.page, subject_.size);
            loaded_ = outcome.evaluated ? std::move(outcome.evaluation) : PageEvaluation();
            loadedFrom_ = readAs(subject_);
            if (!outcome.evaluated) {
                QStringList why;
                for (const std::string& m : boxTexts(outcome.failures)) why << QString::fromStdString(m);
                problem_ = why.isEmpty() ? missingMaps() : why.join(QLatin1Char('\n'));
            }
        }
        // Not evaluated: problem_ says why.
        if (loaded_.success)
            diagnosis_ = loaded_.diagnosis->threshold() == T
                             ? loaded_.diagnosis
                             : std::make_shared<const PageDiagnosis>(loaded_.diagnosis->atThreshold(T));
    }
    showDiagnosis();
    showView();
}

void DiagnosisPanel::showDiagnosis() {
    problems->clear();
    for (int s = 0; s < kRegionStatusCount; ++s)
        for (int c = 1; c < 3; ++c) legend->item(s, c)->setText(QString());
    hoverLeft();
    if (!diagnosis_) {
        caption->setText(QString());
        underCursor->setText(problem_);
        underCursor->setToolTip(problem_);
        return;
    }
    underCursor->setToolTip(QString());
    const PageDiagnosis& d = *diagnosis_;
    caption->setText(QStringLiteral("%1, %2, threshold %3")
                         .arg(QFile::decodeName(subject_.page.c_str()), levelText(subject_.level))
                         .arg(d.threshold()));
    caption->setToolTip(caption->text());

    int counts[2][kRegionStatusCount] = {};
    struct Entry {
        RegionDiagnosis region;
        bool gtSide;
    };
    std::vector<Entry> entries;
    for (const bool gtSide : {true, false})
        for (const RegionDiagnosis r : gtSide ? d.gt() : d.result()) {
            ++counts[gtSide ? 0 : 1][static_cast<int>(r.status)];
            if (r.status != RegionStatus::One2One) entries.push_back({r, gtSide});
        }
    for (int s = 0; s < kRegionStatusCount; ++s) {
        const auto status = static_cast<RegionStatus>(s);
        // A side that cannot have a status shows nothing there.
        if (status != RegionStatus::FalseAlarm) legend->item(s, 1)->setText(QString::number(counts[0][s]));
        if (status != RegionStatus::Missed) legend->item(s, 2)->setText(QString::number(counts[1][s]));
    }

    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.region.area > b.region.area;
    });
    problems->setUpdatesEnabled(false);
    for (const Entry& e : entries) {
        const RegionDiagnosis& r = e.region;
        const QString text = QStringLiteral("%1 %2 %3, %4 px, %5")
                                 .arg(statusText(r.status), sideText(e.gtSide))
                                 .arg(r.label)
                                 .arg(r.area)
                                 .arg(bestText(r, e.gtSide));
        auto* item = new QListWidgetItem(swatch(r.status), text);
        item->setToolTip(text);
        item->setData(kSide, e.gtSide);
        item->setData(kLabel, r.label);
        item->setData(kBox, boxRect(r.box));
        problems->addItem(item);
    }
    problems->setUpdatesEnabled(true);
}

void DiagnosisPanel::showView() {
    if (!diagnosis_ || !loaded_.gtMap || !loaded_.rsMap) {
        display_->clearViewInstead();
        return;
    }
    if (errorView_.isNull())
        errorView_ = imaging::paintErrorView(subject_.picture, *loaded_.gtMap, *loaded_.rsMap, *diagnosis_);
    display_->setViewInstead(errorView_);
}

void DiagnosisPanel::problemSelected() {
    const QList<QListWidgetItem*> selected = problems->selectedItems();
    if (selected.isEmpty()) {
        display_->setHighlight(std::nullopt);
        return;
    }
    const QRect box = selected.front()->data(kBox).toRect();
    display_->showRegion(box);
    display_->setHighlight(box);
}

void DiagnosisPanel::hoverAt(QPoint pixel) {
    if (!diagnosis_ || !loaded_.gtMap) return;
    const LabelMap& gt = *loaded_.gtMap;
    const LabelMap& rs = *loaded_.rsMap;
    if (pixel.x() < 0 || pixel.y() < 0 || pixel.x() >= gt.width() || pixel.y() >= gt.height()) {
        hoverLeft();
        return;
    }
    const std::int32_t g = gt.at(pixel.x(), pixel.y());
    const std::int32_t r = rs.at(pixel.x(), pixel.y());
    const std::optional<RegionDiagnosis> gr = diagnosis_->findGt(g);
    const std::optional<RegionDiagnosis> rr = diagnosis_->findResult(r);
    auto side = [](const char* name, const std::optional<RegionDiagnosis>& region) {
        if (!region) return QStringLiteral("%1: none").arg(name);
        return QStringLiteral("%1 %2: %3 px, %4").arg(name).arg(region->label).arg(region->area).arg(statusText(region->status));
    };
    QStringList lines{QStringLiteral("Under the cursor, x %1 y %2:").arg(pixel.x()).arg(pixel.y()),
                      side("Ground truth", gr), side("Result", rr)};
    if (gr && rr) {
        const std::int64_t shared = diagnosis_->shared(g, r);
        lines << QStringLiteral("Overlap %1 px, score %2%")
                     .arg(shared)
                     .arg(static_cast<std::int32_t>(matchScore(shared, gr->area, rr->area)));
    }
    underCursor->setText(lines.join(QLatin1Char('\n')));
}

void DiagnosisPanel::hoverLeft() {
    if (diagnosis_) underCursor->setText(QStringLiteral("Under the cursor: move the pointer over the page."));
}

}  // namespace corvanel::app
