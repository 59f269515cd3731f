#pragma once

#include "eval/diagnosis.h"
#include "eval/evaluate.h"
#include "imaging/errorview.h"
#include "run/workspace.h"

#include <QFrame>
#include <QImage>
#include <QString>

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTableView;
class QTableWidget;

namespace corvanel::imaging {
class ImageControl;
}

namespace corvanel::app {

class ProblemModel;

// Shows on the page why it scores what it scores: the error view, a legend
// of the statuses, the regions that failed and what lies under the pointer.
// It evaluates the page itself, on a thread of its own so that a page of
// millions of regions never holds up the window, and touches none of the
// window's own state.
class DiagnosisPanel : public QFrame {
    Q_OBJECT
public:
    // What the panel evaluates: the page in the window's hidden copy and the
    // choices of the window's controls.
    struct Subject {
        Workspace workspace;  // with the participant whose results are shown
        std::string page;     // the page's name; empty: no page
        QImage picture;
        PageSize size;
        Level level = Level::Lines;
        bool readHeader = false;
        QString thresholdText;
        bool inkOnly = false;  // only the page's ink counts
        friend bool operator==(const Subject& a, const Subject& b) {
            return a.workspace == b.workspace && a.page == b.page && a.size == b.size && a.level == b.level &&
                   a.readHeader == b.readHeader && a.thresholdText == b.thresholdText && a.inkOnly == b.inkOnly;
        }
    };

    DiagnosisPanel(QWidget* parent, imaging::ImageControl* display);
    ~DiagnosisPanel() override;

    // Evaluates again when anything changed, or always with `reread` (the
    // maps may have changed on disk).
    void setSubject(Subject subject, bool reread = false);

    // The page's diagnosis at the current threshold; null when there is none
    // (also while it is being made).
    const PageDiagnosis* diagnosis() const { return diagnosis_.get(); }
    // Why there is none, in a sentence; empty when there is one.
    const QString& problem() const { return problem_; }
    // True while the page is being evaluated.
    bool working() const { return current_ != nullptr; }
    // Waits for the evaluation under way, if any, and shows its outcome
    // (tests and benchmarks; the window never waits).
    void wait();

    // Shows what lies at image pixel `pixel` in the "Under the cursor" line.
    void hoverAt(QPoint pixel);
    void hoverLeft();

    // Compares the participant shown with `other` on the page, at the same
    // level, threshold and pixels: the view shows the ground-truth regions
    // either matches one to one and the other does not. It ends when the
    // page, the level or the participant shown changes.
    void compareWith(const Participant& other);
    void stopComparing();
    bool comparing() const { return other_.has_value(); }
    const std::optional<Participant>& comparedWith() const { return other_; }
    // The comparison at the current threshold; null when there is none
    // (also while it is being made); `comparisonProblem` says why.
    const imaging::MatchDifference* difference() const { return difference_ ? &*difference_ : nullptr; }
    const QString& comparisonProblem() const { return comparisonProblem_; }
    // The picture the display shows while comparing; null when none.
    const QImage& comparisonView() const { return comparisonView_; }

    QCheckBox* showErrors;
    QLabel* caption;        // page, level and threshold
    QTableWidget* legend;   // "Error legend": one row a status, counts of both sides
    QTableView* problems;   // "Problem regions", larger first
    QProgressBar* progress; // while the page is evaluated
    QPushButton* cancel;    // stops that and unticks "Show errors"
    QLabel* underCursor;    // "Under the cursor"
    QLabel* comparison;     // the two counts, only while comparing

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Job;
    struct Outcome;
    void evaluate(bool reread);
    void start(std::shared_ptr<Job> job);
    void work();
    void deliver(const std::shared_ptr<Job>& job);
    void show(Outcome outcome);
    void showDiagnosis();
    void showComparison();
    void showView();
    void dropComparison();
    void problemSelected();
    void hoverComparison(QPoint pixel);
    void fitParent();

    imaging::ImageControl* display_;
    ProblemModel* model_;
    Subject subject_;
    bool hasSubject_ = false;

    // The page as last read: both maps and the diagnosis at the threshold
    // they were read with, and what they were read as.
    std::shared_ptr<const PageDiagnosis> read_;
    std::shared_ptr<const LabelMap> gtMap_, rsMap_;
    std::optional<Subject> readFrom_;
    // What is shown.
    std::shared_ptr<const PageDiagnosis> diagnosis_;
    QString problem_;
    QImage errorView_;
    int counts_[2][kRegionStatusCount] = {};

    // The comparison: whom with, the other's page as last read, and what is shown.
    std::optional<Participant> other_;
    std::shared_ptr<const PageDiagnosis> otherRead_;
    std::optional<Subject> otherFrom_;
    std::shared_ptr<const PageDiagnosis> shownA_, shownB_;  // at the threshold shown
    std::optional<imaging::MatchDifference> difference_;
    QString comparisonProblem_;
    QImage comparisonView_;

    // The worker: one job at a time, the latest asked for; a job no longer
    // current is cancelled and its outcome dropped.
    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::shared_ptr<Job> pending_;  // under mutex_
    bool quit_ = false;             // under mutex_
    std::shared_ptr<Job> current_;  // the job whose outcome will be shown
};

}  // namespace corvanel::app
