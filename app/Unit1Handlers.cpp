// TForm1's page selection, overlay and evaluation handlers.

#include "app/DiagnosisPanel.h"
#include "app/LabeledEdit.h"
#include "app/Unit1.h"
#include "app/Waiter.h"
#include "imaging/imagesize.h"
#include "imaging/overlay.h"

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QFile>
#include <QFrame>
#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>
#include <QSignalBlocker>

#include <cstdlib>
#include <new>
#include <system_error>

namespace corvanel::app {

namespace {

// The hourglass for the length of a scope.
class BusyCursor {
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

QString text(const std::string& s) { return QString::fromStdString(s); }
QString number(std::int64_t n) { return QString::number(n); }

}  // namespace

Level TForm1::level() const { return RadioButton2->isChecked() ? Level::Words : Level::Lines; }

void TForm1::FileListBox1Change() {
    ++fileListChangeRuns_;
    // Only the name comes from the list: pages load from the workspace. The
    // path is the current page from here on, whatever follows.
    currentPagePath_ = workspace_.pageImage(selectedPageName());
    std::error_code ec;
    if (!std::filesystem::is_regular_file(currentPagePath_, ec)) {
        // The display keeps what it shows, but its size is not this page's.
        pageLoaded_ = false;
        UpdateMemoryIndicator();
        updateDiagnosis();
        return;
    }
    {
        BusyCursor busy;
        if (!ImagXpress7_1->setFileName(currentPagePath_)) {
            // Nothing of the previous page may stand in for this one.
            pageLoaded_ = false;
            pageSize_ = {};
            ImagXpress7_2->setHDIB(imaging::Bitmap());
            hiddenPagePath_.clear();
            LabeledEdit3->clear();
            LabeledEdit1->clear();
            LabeledEdit2->clear();
            showMessage(ImagXpress7_1->lastError());
        } else {
            ImagXpress7_1->ZoomToFit(2);
            pageSize_ = {ImagXpress7_1->IWidth(), ImagXpress7_1->IHeight()};
            pageLoaded_ = true;
            LabeledEdit3->setText(QStringLiteral("%1x%2").arg(pageSize_.width).arg(pageSize_.height));
            ImagXpress7_1->ColorDepth(1, 0, 0);
            ImagXpress7_2->setHDIB(ImagXpress7_1->CopyDIB());
            hiddenPagePath_ = currentPagePath_;
            if (ImagXpress7_1->IBPP() != 1) showMessage(QStringLiteral("Not a B/W image!"));
            LabeledEdit1->clear();
            LabeledEdit2->clear();
            Redraw();
        }
    }
    UpdateMemoryIndicator();
    updateDiagnosis();
}

void TForm1::Redraw() {
    const auto paint = [this](MapKind kind) {
        BusyCursor busy;
        buildOverlayBase();
        paintLabelMap(kind);
        if (overlayBuffer_) ImagXpress7_1->LoadBuffer(*overlayBuffer_);
    };
    if (RadioButton5->isChecked()) paint(MapKind::GroundTruth);
    if (RadioButton4->isChecked()) {
        BusyCursor busy;
        ImagXpress7_1->setHDIB(ImagXpress7_2->CopyDIB());
        LabeledEdit1->clear();
        LabeledEdit2->clear();
    }
    if (RadioButton6->isChecked()) paint(MapKind::Result);
    UpdateMemoryIndicator();
    updateDiagnosis();
}

void TForm1::updateDiagnosis(bool reread) {
    DiagnosisPanel::Subject s;
    s.workspace = workspace_;
    s.page = hiddenPagePath_.filename().string();
    s.picture = ImagXpress7_2->image();
    s.size = {ImagXpress7_2->IWidth(), ImagXpress7_2->IHeight()};
    s.level = level();
    s.readHeader = CheckBox3->isChecked();
    s.thresholdText = LabeledEdit13->text();
    s.inkOnly = inkOnly->isChecked();
    Diagnosis->setSubject(std::move(s), reread);
}

void TForm1::buildOverlayBase() {
    overlayBuffer_.reset();
    pixelOffset_ = 0;
    if (!ImagXpress7_2->hasImage()) return;
    ImagXpress7_2->ColorDepth(8, 1, 0);
    ImagXpress7_2->setSaveToBuffer(true);
    ImagXpress7_2->setSaveFileType(4);
    ImagXpress7_2->setSaveTIFFCompression(0);
    if (!ImagXpress7_2->SaveFile()) return;
    overlayBuffer_ = ImagXpress7_2->takeSaveBuffer();
    if (overlayBuffer_)
        pixelOffset_ = imaging::ImageControl::pixelOffset(*overlayBuffer_, ImagXpress7_2->IWidth(),
                                                          ImagXpress7_2->IHeight());
}

void TForm1::paintLabelMap(MapKind kind) {
    const std::string name = selectedPageName();
    if (name.empty() || !overlayBuffer_) return;
    // The overlay takes the page's name from the list's selection.
    // Painted as it is read, slice by slice, on the waiter's thread into a
    // buffer the painting owns; addressed and clipped by the overlay's own
    // size, whatever a header said.
    struct Painting {
        imaging::SavedBuffer buffer;
        PageSize size;
        std::optional<Failure> problem;
        bool started = false;
        std::size_t regions = 0;
    };
    auto job = std::make_shared<Painting>();
    job->buffer = std::move(*overlayBuffer_);
    overlayBuffer_.reset();
    job->size = pageSize_;
    const bool finished = waiter_->run(
        QStringLiteral("Painting the %1 of %2...")
            .arg(kind == MapKind::GroundTruth ? "ground truth" : "result", QFile::decodeName(name.c_str())),
        [job, workspace = workspace_, name, kind, level = level(), sources = sourceSettings(),
         readHeader = CheckBox3->isChecked(), boxes = CheckBox1->isChecked(),
         width = ImagXpress7_2->IWidth(), height = ImagXpress7_2->IHeight(), offset = pixelOffset_] {
            std::optional<imaging::OverlayPainter> painter;
            try {
                job->problem = streamSide(workspace, sources, readHeader, kind, level, name, job->size,
                                          [&](const std::int32_t* labels, std::size_t n) {
                                              if (!painter)
                                                  painter.emplace(job->buffer.data() + offset, width, height,
                                                                  job->size.width);
                                              painter->add(labels, n);
                                          });
                if (!job->problem && painter) job->regions = painter->finish(boxes);
            } catch (const std::bad_alloc&) {
                // The regions' table of a map of millions of regions: said, and the page shown plain.
                job->problem = Failure{FailureKind::MapAllocation, workspace.mapPath(kind, level, name), kind, {}, {}, {}};
            }
            job->started = painter.has_value();
        });
    if (!finished) {
        // Cancelled: the plain page, and "None" says so.
        const QSignalBlocker quiet(RadioButton4);
        RadioButton4->setChecked(true);
        ImagXpress7_1->setHDIB(ImagXpress7_2->CopyDIB());
        LabeledEdit1->clear();
        LabeledEdit2->clear();
        return;
    }
    overlayBuffer_ = std::move(job->buffer);
    if (job->problem) {
        // Whatever was painted before the problem goes: the page shows as it is.
        if (job->started) buildOverlayBase();
        if (const std::string message = boxText(*job->problem); !message.empty()) showMessage(text(message));
        return;
    }
    pageSize_ = job->size;
    (kind == MapKind::GroundTruth ? LabeledEdit1 : LabeledEdit2)->setText(number(static_cast<std::int64_t>(job->regions)));
}

SourceSettings TForm1::sourceSettings() const {
    SourceSettings sources;
    sources.inkOnly = inkOnly->isChecked();
    sources.greyPage = imaging::readGreyImage;
    return sources;
}

void TForm1::CheckBox3Click() {
    Redraw();
    pageSize_ = {ImagXpress7_2->IWidth(), ImagXpress7_2->IHeight()};
}

void TForm1::CheckBox4Click() {
    const bool show = !Panel5->isVisible();
    for (QWidget* w : std::initializer_list<QWidget*>{Panel5, LabeledEdit7, LabeledEdit8, LabeledEdit11, LabeledEdit12})
        w->setVisible(show);
}

void TForm1::showMessages(const std::vector<std::string>& messages, bool fatal) {
    for (const std::string& m : messages) showMessage(text(m));
    if (fatal) std::exit(-1);
}

void TForm1::showCounts(const Counts& c, const RateTexts& r) {
    LabeledEdit4->setText(number(c.N));
    LabeledEdit5->setText(number(c.M));
    LabeledEdit6->setText(number(c.one2one));
    LabeledEdit7->setText(number(c.g_one2many));
    LabeledEdit8->setText(number(c.g_many2one));
    LabeledEdit11->setText(number(c.d_one2many));
    LabeledEdit12->setText(number(c.d_many2one));
    LabeledEdit9->setText(text(r.dr));
    LabeledEdit10->setText(text(r.ra));
    LabeledEdit16->setText(text(r.fm));
}

void TForm1::Button7Click() {
    // Between the pages of a batch the window answers events, this button
    // included; the running batch owns the report and the totals.
    if (batchRunning_) return;
    if (workspace_.empty()) {
        // Nothing to read, and no folder of ours to write the report into.
        showMessage(QStringLiteral("No workspace is open: choose one with \"Open workspace...\" (Ctrl+O)."));
        return;
    }
    BusyCursor busy;
    threshold_ = parseThreshold(LabeledEdit13->text().toStdString());
    const auto settings = settingsFromFields(level(), CheckBox3->isChecked(), threshold_,
                                             {Edit1->text().toStdString(), Edit2->text().toStdString(),
                                              Edit3->text().toStdString()});
    if (const auto* problem = std::get_if<Failure>(&settings)) {
        showMessage(text(boxText(*problem)));
        return;
    }
    RunSettings chosen = std::get<RunSettings>(settings);
    chosen.sources = sourceSettings();
    if (CheckBox2->isChecked())
        evaluateBatch(chosen);
    else
        evaluateCurrentPage(chosen);
    updateDiagnosis(/*reread=*/true);
}

void TForm1::evaluateCurrentPage(const RunSettings& settings) {
    // A page is scored at the size its image's header gives, as corvanel-eval
    // scores it, even when its pixels do not decode: the scores need no pixel.
    std::optional<PageSize> size;
    if (pageLoaded_)
        size = pageSize_;
    else if (!currentPagePath_.empty())
        size = imaging::readImageSize(currentPagePath_);
    if (!size) {
        // No size belongs to this page; with nothing selected yet there is
        // no page to speak of.
        const std::string name = currentPagePath_.filename().string();
        if (!name.empty())
            showMessage(text("Cannot read the page image " + name + "; the page was not evaluated"));
    } else {
        const auto done = evaluateWaiting(workspace_, settings, currentPagePath_.filename().string(), *size);
        if (!done) return;  // cancelled: the fields keep what they showed
        const PageOutcome& page = *done;
        const PageEvaluation& e = page.evaluation;
        showMessages(boxTexts(page.failures), e.fatal);
        success_ = e.success;
        if (settings.readHeader && e.success) pageSize_ = e.size;
        if (e.success) showCounts(e.counts, pageRateTexts(e.rates));
    }
    UpdateMemoryIndicator();
    QCoreApplication::processEvents();
}

std::optional<PageOutcome> TForm1::evaluateWaiting(const Workspace& workspace, const RunSettings& settings,
                                                   const std::string& name, PageSize size) {
    auto outcome = std::make_shared<PageOutcome>();
    if (!waiter_->run(QStringLiteral("Evaluating %1...").arg(QFile::decodeName(name.c_str())),
                      [outcome, workspace, settings, name, size] {
                          *outcome = evaluatePage(workspace, settings, name, size);
                      }))
        return std::nullopt;
    return std::move(*outcome);
}

void TForm1::evaluateBatch(const RunSettings& settings) {
    batchRunning_ = true;
    BatchHooks hooks;
    hooks.pageCount = [this] { return static_cast<std::size_t>(FileListBox1->count()); };
    hooks.selectPage = [this](std::size_t i) {
        selectFromCode(static_cast<int>(i));
        currentPagePath_ = workspace_.pageImage(selectedPageName());
        success_ = false;
        return selectedPageName();
    };
    hooks.level = [this] { return level(); };
    hooks.batchTicked = [this] { return CheckBox2->isChecked(); };
    hooks.evaluate = [this](const Workspace& workspace, const RunSettings& s, const std::string& name, PageSize size) {
        return evaluateWaiting(workspace, s, name, size);
    };
    hooks.afterPage = [this](const PageOutcome& page, std::int64_t evaluated) {
        success_ = page.evaluated;
        if (page.evaluated) showCounts(page.evaluation.counts, pageRateTexts(page.evaluation.rates));
        UpdateMemoryIndicator();
        LabeledEdit15->setText(number(evaluated));
        QCoreApplication::processEvents();
    };
    // The hidden control loads each page to learn its size, and keeps it; a
    // page whose pixels do not decode has the size its header gives.
    const ImageSizeReader loadPage = [this](const std::filesystem::path& path) -> std::optional<PageSize> {
        pageLoaded_ = ImagXpress7_2->setFileName(path);
        hiddenPagePath_ = pageLoaded_ ? path : std::filesystem::path();
        if (pageLoaded_) return pageSize_ = PageSize{ImagXpress7_2->IWidth(), ImagXpress7_2->IHeight()};
        const std::optional<PageSize> size = imaging::readImageSize(path);
        pageSize_ = size.value_or(PageSize{});
        return size;
    };
    const auto result = runBatch(workspace_, settings, workspace_.reportPath(), loadPage, hooks,
                                 [this](const std::string& m) { showMessage(text(m)); });
    batchRunning_ = false;
    if (!result) return;
    if (result->fatal) std::exit(-1);
    showCounts(result->sums, batchRateTexts(result->rates));
}

}  // namespace corvanel::app
