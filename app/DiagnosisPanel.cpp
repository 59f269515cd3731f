#include "app/DiagnosisPanel.h"

#include "imaging/errorview.h"
#include "imaging/imagecontrol.h"
#include "imaging/imagesize.h"
#include "eval/scores.h"
#include "run/runner.h"

#include <QAbstractListModel>
#include <QCheckBox>
#include <QEvent>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QTableView>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <atomic>
#include <new>
#include <system_error>

namespace corvanel::app {

namespace {

constexpr QPoint kTopLeft{7, 336};  // below the evaluation panel
constexpr int kMargin = 7;
constexpr int kRowHeight = 16;  // of the legend

constexpr int kBoxRole = Qt::UserRole;
// The problem regions listed, larger first; a view of more rows costs the
// window time on every new page, and no one reads that far.
constexpr std::size_t kListed = 100000;

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

// Says which of the page's maps are missing; empty when both are there.
QString missingMaps(const DiagnosisPanel::Subject& subject) {
    QStringList why;
    for (MapKind kind : {MapKind::GroundTruth, MapKind::Result}) {
        const auto source = subject.workspace.source(kind, subject.level, subject.page);
        if (!std::holds_alternative<MapSource>(source)) continue;
        const auto& path = std::get<MapSource>(source).path;
        std::error_code ec;
        if (!std::filesystem::exists(path, ec))
            why << QStringLiteral("There is no %1 label map %2.")
                       .arg(kind == MapKind::GroundTruth ? "ground-truth" : "result",
                            QFile::decodeName(subject.workspace.shown(path).c_str()));
    }
    return why.join(QLatin1Char('\n'));
}

// One participant's page: both maps, the overlaps and what matched what.
PageOutcome readPage(const DiagnosisPanel::Subject& subject, std::int32_t threshold, bool keepMaps) {
    RunSettings settings;
    settings.level = subject.level;
    settings.readHeader = subject.readHeader;
    settings.threshold = threshold;
    settings.diagnose = true;
    settings.keepMaps = keepMaps;
    settings.sources.inkOnly = subject.inkOnly;
    settings.sources.greyPage = imaging::readGreyImage;
    return evaluatePage(subject.workspace, settings, subject.page, subject.size);
}

// Why a page read was not evaluated.
QString whyNot(const PageOutcome& page, const DiagnosisPanel::Subject& subject) {
    QStringList why;
    for (const std::string& m : boxTexts(page.failures)) why << QString::fromStdString(m);
    return why.isEmpty() ? missingMaps(subject) : why.join(QLatin1Char('\n'));
}

QString participantText(const Participant& p) { return QFile::decodeName(p.name.c_str()); }

// What a page is read as: a change of anything else needs a new reading.
DiagnosisPanel::Subject readAs(DiagnosisPanel::Subject s) {
    s.thresholdText.clear();
    s.picture = QImage();
    return s;
}

struct ProblemEntry {
    std::int64_t area;    // the sort's key, read once
    std::uint32_t index;  // in its side's list
    bool gtSide;
};

}  // namespace

// The regions that failed, a row each, made only when the view asks for it:
// a page of a million problems costs sixteen bytes a problem here while
// they are sorted, and only the listed ones after.
class ProblemModel : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;

    // `unlisted`: problem regions smaller than the last entry, left out.
    void reset(std::shared_ptr<const PageDiagnosis> diagnosis, std::vector<ProblemEntry> entries,
               std::int64_t unlisted) {
        beginResetModel();
        diagnosis_ = std::move(diagnosis);
        entries_ = std::move(entries);
        unlisted_ = unlisted;
        endResetModel();
    }
    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : static_cast<int>(entries_.size()) + (unlisted_ > 0);
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!diagnosis_ || !index.isValid() || index.row() >= rowCount()) return {};
        if (static_cast<std::size_t>(index.row()) == entries_.size()) {
            if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
            return QStringLiteral("... and %1 smaller problem regions, not listed").arg(unlisted_);
        }
        const ProblemEntry& e = entries_[static_cast<std::size_t>(index.row())];
        const RegionDiagnosis r = (e.gtSide ? diagnosis_->gt() : diagnosis_->result())[e.index];
        switch (role) {
        case Qt::DisplayRole:
        case Qt::ToolTipRole:
            return QStringLiteral("%1 %2 %3, %4 px, %5")
                .arg(statusText(r.status), sideText(e.gtSide))
                .arg(r.label)
                .arg(r.area)
                .arg(bestText(r, e.gtSide));
        case Qt::DecorationRole: return swatch(r.status);
        case kBoxRole: return boxRect(r.box);
        default: return {};
        }
    }

private:
    std::shared_ptr<const PageDiagnosis> diagnosis_;
    std::vector<ProblemEntry> entries_;
    std::int64_t unlisted_ = 0;
};

// What the worker made of a job, shown as a whole or not at all.
struct DiagnosisPanel::Outcome {
    bool errors = false;  // the error view was asked for: the legend and the list take what follows
    bool read = false;  // the maps were read: the next four replace the panel's
    std::shared_ptr<const PageDiagnosis> readDiagnosis;
    std::shared_ptr<const LabelMap> gtMap, rsMap;
    std::optional<Subject> readFrom;
    std::shared_ptr<const PageDiagnosis> diagnosis;  // null: problem says why
    QString problem;
    std::vector<ProblemEntry> entries;  // larger first
    std::int64_t unlisted = 0;          // smaller problems than those
    std::int64_t counts[2][kRegionStatusCount] = {};
    QImage errorView;

    // The comparison, when asked for.
    bool readOther = false;  // the other's page was read: the next two replace the panel's
    std::shared_ptr<const PageDiagnosis> otherRead;
    std::optional<Subject> otherFrom;
    std::shared_ptr<const PageDiagnosis> otherDiagnosis;
    std::optional<imaging::MatchDifference> difference;  // nullopt: comparisonProblem says why
    QString comparisonProblem;
    QImage comparisonView;
};

struct DiagnosisPanel::Job {
    Subject subject;
    bool read = false;
    std::int32_t threshold = 0;
    // The page as read before, when it need not be read again.
    std::shared_ptr<const PageDiagnosis> base;
    std::shared_ptr<const LabelMap> gtMap, rsMap;
    bool errors = true;  // the legend, the list and the error view
    // The participant compared with, the page as that participant's results
    // give it; and its page as read before, when it need not be read again.
    std::optional<Subject> other;
    bool readOther = false;
    std::shared_ptr<const PageDiagnosis> otherBase;

    std::atomic<bool> cancelled{false};
    std::mutex mutex;
    std::condition_variable doneSignal;
    bool done = false;  // under mutex
    Outcome outcome;

    void run();
    void compare();
};

// Between its steps a cancelled job stops: its outcome is never shown.
void DiagnosisPanel::Job::run() {
    Outcome& o = outcome;
    o.errors = errors;
    if (read) {
        PageOutcome page = readPage(subject, threshold, true);
        o.read = true;
        o.readFrom = readAs(subject);
        if (!page.evaluated) {
            o.problem = whyNot(page, subject);
            o.comparisonProblem = o.problem;
            return;
        }
        o.readDiagnosis = page.evaluation.diagnosis;
        o.gtMap = page.evaluation.gtMap;
        o.rsMap = page.evaluation.rsMap;
    } else {
        o.readDiagnosis = base;
        o.gtMap = gtMap;
        o.rsMap = rsMap;
    }
    if (cancelled) return;
    o.diagnosis = o.readDiagnosis->threshold() == threshold
                      ? o.readDiagnosis
                      : std::make_shared<const PageDiagnosis>(o.readDiagnosis->atThreshold(threshold));
    if (cancelled) return;
    if (other) compare();
    if (!errors || cancelled) return;
    const PageDiagnosis& d = *o.diagnosis;
    for (const bool gtSide : {true, false}) {
        const RegionList list = gtSide ? d.gt() : d.result();
        for (std::size_t i = 0; i < list.size(); ++i) {
            const RegionDiagnosis r = list[i];
            ++o.counts[gtSide ? 0 : 1][static_cast<int>(r.status)];
            if (r.status != RegionStatus::One2One) o.entries.push_back({r.area, static_cast<std::uint32_t>(i), gtSide});
        }
    }
    // Larger first; on equal areas ground truth first, then by label.
    const auto before = [](const ProblemEntry& a, const ProblemEntry& b) {
        if (a.area != b.area) return a.area > b.area;
        return a.gtSide != b.gtSide ? a.gtSide : a.index < b.index;
    };
    const std::size_t listed = std::min(o.entries.size(), kListed);
    std::partial_sort(o.entries.begin(), o.entries.begin() + static_cast<std::ptrdiff_t>(listed), o.entries.end(),
                      before);
    o.unlisted = static_cast<std::int64_t>(o.entries.size() - listed);
    o.entries.resize(listed);
    o.entries.shrink_to_fit();
    if (cancelled) return;
    if (o.gtMap && o.rsMap) o.errorView = imaging::paintErrorView(subject.picture, *o.gtMap, *o.rsMap, d);
}

// The other's page read the same way; its ground truth is the same as ours.
void DiagnosisPanel::Job::compare() {
    Outcome& o = outcome;
    std::shared_ptr<const PageDiagnosis> theirs = otherBase;
    if (readOther) {
        PageOutcome page = readPage(*other, threshold, false);
        o.readOther = true;
        o.otherFrom = readAs(*other);
        if (!page.evaluated) {
            o.comparisonProblem = whyNot(page, *other);
            return;
        }
        theirs = o.otherRead = page.evaluation.diagnosis;
    }
    if (cancelled) return;
    o.otherDiagnosis =
        theirs->threshold() == threshold ? theirs : std::make_shared<const PageDiagnosis>(theirs->atThreshold(threshold));
    o.difference = imaging::matchDifference(*o.diagnosis, *o.otherDiagnosis);
    if (cancelled) return;
    if (o.gtMap) o.comparisonView = imaging::paintComparisonView(subject.picture, *o.gtMap, *o.difference);
}

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

    model_ = new ProblemModel(this);
    // A table of one column, rows of one height: its header holds them as
    // one span, where a list view lays out every row in one go.
    problems = new QTableView(this);
    problems->setObjectName(QStringLiteral("ProblemRegions"));
    problems->setAccessibleName(QStringLiteral("Problem regions"));
    problems->setModel(model_);
    problems->horizontalHeader()->hide();
    problems->horizontalHeader()->setStretchLastSection(true);
    problems->verticalHeader()->hide();
    problems->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    problems->verticalHeader()->setMinimumSectionSize(1);
    problems->verticalHeader()->setDefaultSectionSize(problems->fontMetrics().height() + 2);
    problems->setShowGrid(false);
    problems->setWordWrap(false);
    problems->setSelectionBehavior(QAbstractItemView::SelectRows);
    problems->setSelectionMode(QAbstractItemView::SingleSelection);
    problems->setEditTriggers(QAbstractItemView::NoEditTriggers);
    problems->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    problems->setTextElideMode(Qt::ElideRight);

    progress = new QProgressBar(this);
    progress->setObjectName(QStringLiteral("DiagnosisProgress"));
    progress->setAccessibleName(QStringLiteral("Evaluating the page"));
    progress->setRange(0, 0);  // busy: the steps have no known length
    progress->setTextVisible(false);
    progress->setMaximumHeight(12);
    progress->setFixedWidth(60);
    cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("DiagnosisCancel"));
    cancel->setToolTip(QStringLiteral("Stop evaluating this page and untick \"Show errors\""));

    underCursor = new QLabel(this);
    underCursor->setObjectName(QStringLiteral("UnderTheCursor"));
    underCursor->setAccessibleName(QStringLiteral("Under the cursor"));
    underCursor->setTextFormat(Qt::PlainText);
    underCursor->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    underCursor->setFixedHeight(4 * underCursor->fontMetrics().lineSpacing() + 4);

    comparison = new QLabel(this);
    comparison->setObjectName(QStringLiteral("Comparison"));
    comparison->setAccessibleName(QStringLiteral("Comparison"));
    comparison->setTextFormat(Qt::RichText);
    comparison->setWordWrap(true);
    comparison->hide();

    auto* top = new QHBoxLayout;
    top->addWidget(showErrors);
    top->addWidget(caption, 1);
    top->addWidget(progress);
    top->addWidget(cancel);
    progress->hide();
    cancel->hide();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->setSpacing(4);
    layout->addLayout(top);
    layout->addWidget(comparison);
    layout->addWidget(legend);
    auto* listCaption = new QLabel(QStringLiteral("Problem regions, larger first:"), this);
    listCaption->setBuddy(problems);
    layout->addWidget(listCaption);
    layout->addWidget(problems, 1);
    layout->addWidget(underCursor);

    connect(showErrors, &QCheckBox::toggled, this, [this] { evaluate(false); });
    connect(problems->selectionModel(), &QItemSelectionModel::selectionChanged, this, &DiagnosisPanel::problemSelected);
    connect(cancel, &QPushButton::clicked, showErrors, [this] {
        showErrors->setChecked(false);
        stopComparing();
    });
    connect(display_, &imaging::ImageControl::pixelHovered, this, &DiagnosisPanel::hoverAt);
    connect(display_, &imaging::ImageControl::hoverLeft, this, &DiagnosisPanel::hoverLeft);
    parent->installEventFilter(this);
    fitParent();
    worker_ = std::thread([this] { work(); });
    evaluate(false);
}

DiagnosisPanel::~DiagnosisPanel() {
    if (current_) current_->cancelled = true;
    {
        const std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_one();
    worker_.join();
}

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
    const bool anotherPage = hasSubject_ && (subject.page != subject_.page || subject.level != subject_.level ||
                                             !(subject.workspace == subject_.workspace));
    hasSubject_ = true;
    subject_ = std::move(subject);
    if (anotherPage && other_) dropComparison();
    evaluate(reread);
}

void DiagnosisPanel::evaluate(bool reread) {
    if (current_) current_->cancelled = true;
    current_.reset();
    diagnosis_.reset();
    errorView_ = QImage();
    problem_.clear();
    std::fill(&counts_[0][0], &counts_[0][0] + 2 * kRegionStatusCount, 0);
    model_->reset(nullptr, {}, 0);
    display_->setHighlight(std::nullopt);
    shownA_.reset();
    shownB_.reset();
    difference_.reset();
    comparisonProblem_.clear();
    comparisonView_ = QImage();
    const bool page = hasSubject_ && !subject_.page.empty();
    const bool errors = showErrors->isChecked();
    std::optional<Subject> other;
    if (other_) {
        other = subject_;
        if (const std::optional<Failure> failure = other->workspace.setResultsFolder(other_->folder)) {
            comparisonProblem_ = QString::fromStdString(boxText(*failure));
            other.reset();
        }
    }
    QString why;  // why nothing is evaluated, when nothing is
    if (!errors) {
        // A page without its maps says so all the same.
        problem_ = page ? missingMaps(subject_) : QString();
        if (problem_.isEmpty()) problem_ = QStringLiteral("Tick \"Show errors\" to see what became of each region.");
    }
    if (!errors && !other) {
        // Nothing is evaluated until asked for; the maps are let go.
        read_.reset();
        gtMap_.reset();
        rsMap_.reset();
        readFrom_.reset();
    } else if (!page) {
        why = QStringLiteral("No page is shown.");
    } else if (const std::int32_t T = parseThreshold(subject_.thresholdText.toStdString());
               !thresholdProblem(T).empty()) {
        why = QString::fromStdString(thresholdProblem(T));
    } else {
        auto job = std::make_shared<Job>();
        job->subject = subject_;
        job->threshold = T;
        job->errors = errors;
        // The threshold alone changed: the maps and overlaps read stay good.
        job->read = reread || !read_ || !readFrom_ || !(*readFrom_ == readAs(subject_));
        if (job->read) {
            // Let the old page go before the new one is read.
            read_.reset();
            gtMap_.reset();
            rsMap_.reset();
            readFrom_.reset();
        } else {
            job->base = read_;
            job->gtMap = gtMap_;
            job->rsMap = rsMap_;
        }
        if (other) {
            job->readOther = reread || !otherRead_ || !otherFrom_ || !(*otherFrom_ == readAs(*other));
            if (job->readOther) {
                otherRead_.reset();
                otherFrom_.reset();
            } else {
                job->otherBase = otherRead_;
            }
            job->other = std::move(other);
        }
        start(std::move(job));
    }
    if (!why.isEmpty()) {
        if (errors) problem_ = why;
        if (other) comparisonProblem_ = why;
    }
    showDiagnosis();
    showComparison();
    showView();
}

void DiagnosisPanel::compareWith(const Participant& other) {
    if (other_ && other_->folder == other.folder) return;
    other_ = other;
    otherRead_.reset();
    otherFrom_.reset();
    evaluate(false);
}

void DiagnosisPanel::stopComparing() {
    if (!other_) return;
    dropComparison();
    evaluate(false);
}

void DiagnosisPanel::dropComparison() {
    other_.reset();
    otherRead_.reset();
    otherFrom_.reset();
}

void DiagnosisPanel::start(std::shared_ptr<Job> job) {
    current_ = job;
    {
        const std::lock_guard lock(mutex_);
        pending_ = std::move(job);
    }
    wake_.notify_one();
}

void DiagnosisPanel::work() {
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return quit_ || pending_; });
            if (quit_) return;
            job = std::move(pending_);
        }
        if (!job->cancelled) {
            try {
                job->run();
            } catch (const std::bad_alloc&) {
                job->outcome = Outcome();
                job->outcome.errors = job->errors;
                job->outcome.problem = QStringLiteral("Memory Allocation Problem!");
                job->outcome.comparisonProblem = job->outcome.problem;
            }
        }
        {
            const std::lock_guard lock(job->mutex);
            job->done = true;
        }
        job->doneSignal.notify_all();
        // Dropped with the panel if it goes first.
        QMetaObject::invokeMethod(this, [this, job] { deliver(job); }, Qt::QueuedConnection);
    }
}

void DiagnosisPanel::wait() {
    if (const std::shared_ptr<Job> job = current_) {
        std::unique_lock lock(job->mutex);
        job->doneSignal.wait(lock, [&] { return job->done; });
        lock.unlock();
        deliver(job);
    }
}

void DiagnosisPanel::deliver(const std::shared_ptr<Job>& job) {
    if (job != current_ || job->cancelled) return;
    current_.reset();
    show(std::move(job->outcome));
}

void DiagnosisPanel::show(Outcome o) {
    if (o.read) {
        read_ = std::move(o.readDiagnosis);
        gtMap_ = std::move(o.gtMap);
        rsMap_ = std::move(o.rsMap);
        readFrom_ = std::move(o.readFrom);
    }
    if (o.readOther) {
        otherRead_ = std::move(o.otherRead);
        otherFrom_ = std::move(o.otherFrom);
    }
    if (other_) {
        shownA_ = o.diagnosis;
        shownB_ = std::move(o.otherDiagnosis);
        difference_ = std::move(o.difference);
        comparisonProblem_ = std::move(o.comparisonProblem);
        comparisonView_ = std::move(o.comparisonView);
    }
    if (o.errors) {
        diagnosis_ = std::move(o.diagnosis);
        problem_ = std::move(o.problem);
        errorView_ = std::move(o.errorView);
        std::copy(&o.counts[0][0], &o.counts[0][0] + 2 * kRegionStatusCount, &counts_[0][0]);
        model_->reset(diagnosis_, std::move(o.entries), o.unlisted);
    }
    showDiagnosis();
    showComparison();
    showView();
}

void DiagnosisPanel::showDiagnosis() {
    for (int s = 0; s < kRegionStatusCount; ++s)
        for (int c = 1; c < 3; ++c) legend->item(s, c)->setText(QString());
    progress->setVisible(current_ != nullptr);
    cancel->setVisible(current_ != nullptr);
    hoverLeft();
    if (current_) {
        caption->setText(QString());
        underCursor->setText(QStringLiteral("Evaluating %1, %2...")
                                 .arg(QFile::decodeName(subject_.page.c_str()), levelText(subject_.level)));
        return;
    }
    if (!diagnosis_) {
        caption->setText(QString());
        underCursor->setText(problem_);
        underCursor->setToolTip(problem_);
        return;
    }
    underCursor->setToolTip(QString());
    caption->setText(QStringLiteral("%1, %2, threshold %3")
                         .arg(QFile::decodeName(subject_.page.c_str()), levelText(subject_.level))
                         .arg(diagnosis_->threshold()));
    caption->setToolTip(caption->text());
    for (int s = 0; s < kRegionStatusCount; ++s) {
        const auto status = static_cast<RegionStatus>(s);
        // A side that cannot have a status shows nothing there.
        if (status != RegionStatus::FalseAlarm) legend->item(s, 1)->setText(QString::number(counts_[0][s]));
        if (status != RegionStatus::Missed) legend->item(s, 2)->setText(QString::number(counts_[1][s]));
    }
}

void DiagnosisPanel::showComparison() {
    comparison->setVisible(other_.has_value());
    cancel->setToolTip(other_ ? QStringLiteral("Stop evaluating this page, untick \"Show errors\" and stop comparing")
                              : QStringLiteral("Stop evaluating this page and untick \"Show errors\""));
    comparison->setToolTip(QString());
    if (!other_) {
        comparison->clear();
        return;
    }
    const QString a = participantText(subject_.workspace.resultsParticipant()).toHtmlEscaped();
    const QString b = participantText(*other_).toHtmlEscaped();
    if (current_) {
        comparison->setText(QStringLiteral("Comparing <b>%1</b> with <b>%2</b>...").arg(a, b));
        return;
    }
    if (!difference_) {
        comparison->setText(QStringLiteral("Cannot compare <b>%1</b> with <b>%2</b>: %3")
                                .arg(a, b, comparisonProblem_.toHtmlEscaped().replace(QLatin1Char('\n'), "<br>")));
        return;
    }
    const auto swatch = [](bool first) {
        return QStringLiteral("<span style=\"color:%1\">&#9632;</span>")
            .arg(QColor::fromRgb(imaging::comparisonColour(first)).name());
    };
    // The page, level and threshold in the caption, as "Show errors" has them.
    if (caption->text().isEmpty()) {
        caption->setText(QStringLiteral("%1, %2, threshold %3")
                             .arg(QFile::decodeName(subject_.page.c_str()), levelText(subject_.level))
                             .arg(shownA_->threshold()));
        caption->setToolTip(caption->text());
    }
    comparison->setToolTip(QStringLiteral("Ground-truth regions that %1 matches one to one and %2 does not (blue), "
                                          "and the other way round (orange)")
                               .arg(participantText(subject_.workspace.resultsParticipant()), participantText(*other_)));
    // One pass of arg(): a name holding "%1" stays as it is.
    comparison->setText(QStringLiteral("Regions matched one to one by one side only:<br>"
                                       "%1 <b>%2</b> only: %3&nbsp;&nbsp;&nbsp;&nbsp; %4 <b>%5</b> only: %6")
                            .arg(swatch(true), a, QString::number(difference_->firstOnly.size()), swatch(false), b,
                                 QString::number(difference_->secondOnly.size())));
}

void DiagnosisPanel::showView() {
    if (other_) {
        if (comparisonView_.isNull())
            display_->clearViewInstead();
        else
            display_->setViewInstead(comparisonView_);
        return;
    }
    if (!diagnosis_ || errorView_.isNull()) {
        display_->clearViewInstead();
        return;
    }
    display_->setViewInstead(errorView_);
}

void DiagnosisPanel::problemSelected() {
    const QModelIndexList selected = problems->selectionModel()->selectedIndexes();
    if (selected.isEmpty()) {
        display_->setHighlight(std::nullopt);
        return;
    }
    const QVariant box = selected.front().data(kBoxRole);
    if (!box.isValid()) {  // the line of the unlisted
        display_->setHighlight(std::nullopt);
        return;
    }
    display_->showRegion(box.toRect());
    display_->setHighlight(box.toRect());
}

void DiagnosisPanel::hoverAt(QPoint pixel) {
    if (other_ && difference_ && shownA_ && shownB_ && gtMap_) {
        hoverComparison(pixel);
        return;
    }
    if (!diagnosis_ || !gtMap_ || !rsMap_) return;
    const LabelMap& gt = *gtMap_;
    const LabelMap& rs = *rsMap_;
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

// The ground-truth region there and what each participant made of it.
void DiagnosisPanel::hoverComparison(QPoint pixel) {
    const LabelMap& gt = *gtMap_;
    if (pixel.x() < 0 || pixel.y() < 0 || pixel.x() >= gt.width() || pixel.y() >= gt.height()) {
        hoverLeft();
        return;
    }
    const std::int32_t g = gt.at(pixel.x(), pixel.y());
    const std::optional<RegionDiagnosis> a = shownA_->findGt(g);
    const std::optional<RegionDiagnosis> b = shownB_->findGt(g);
    QStringList lines{QStringLiteral("Under the cursor, x %1 y %2:").arg(pixel.x()).arg(pixel.y())};
    if (!a) {
        lines << QStringLiteral("Ground truth: none");
    } else {
        lines << QStringLiteral("Ground truth %1: %2 px").arg(a->label).arg(a->area);
        lines << QStringLiteral("%1: %2").arg(participantText(subject_.workspace.resultsParticipant()), statusText(a->status));
        lines << QStringLiteral("%1: %2").arg(participantText(*other_), b ? statusText(b->status) : QStringLiteral("none"));
    }
    underCursor->setText(lines.join(QLatin1Char('\n')));
}

void DiagnosisPanel::hoverLeft() {
    if (diagnosis_ || (other_ && difference_)) underCursor->setText(QStringLiteral("Under the cursor: move the pointer over the page."));
}

}  // namespace corvanel::app
