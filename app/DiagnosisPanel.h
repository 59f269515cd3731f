#pragma once

#include "eval/diagnosis.h"
#include "eval/evaluate.h"
#include "run/workspace.h"

#include <QFrame>
#include <QImage>
#include <QString>

#include <filesystem>
#include <memory>
#include <optional>

class QCheckBox;
class QLabel;
class QListWidget;
class QTableWidget;

namespace corvanel::imaging {
class ImageControl;
}

namespace corvanel::app {

// Shows on the page why it scores what it scores: the error view, a legend
// of the statuses, the regions that failed and what lies under the pointer.
// It evaluates the page itself and touches none of the window's own state.
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
        friend bool operator==(const Subject& a, const Subject& b) {
            return a.workspace == b.workspace && a.page == b.page && a.size == b.size && a.level == b.level &&
                   a.readHeader == b.readHeader && a.thresholdText == b.thresholdText;
        }
    };

    DiagnosisPanel(QWidget* parent, imaging::ImageControl* display);
    ~DiagnosisPanel() override;

    // Evaluates again when anything changed, or always with `reread` (the
    // maps may have changed on disk).
    void setSubject(Subject subject, bool reread = false);

    // The page's diagnosis at the current threshold; null when there is none.
    const PageDiagnosis* diagnosis() const { return diagnosis_.get(); }
    // Why there is none, in a sentence; empty when there is one.
    const QString& problem() const { return problem_; }

    // Shows what lies at image pixel `pixel` in the "Under the cursor" line.
    void hoverAt(QPoint pixel);
    void hoverLeft();

    QCheckBox* showErrors;
    QLabel* caption;        // page, level and threshold
    QTableWidget* legend;   // "Error legend": one row a status, counts of both sides
    QListWidget* problems;  // "Problem regions"
    QLabel* underCursor;    // "Under the cursor"

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void evaluate(bool reread);
    void showDiagnosis();
    void showView();
    void problemSelected();
    void fitParent();

    imaging::ImageControl* display_;
    Subject subject_;
    bool hasSubject_ = false;
    // Says which of the page's maps are missing; empty when both are there.
    QString missingMaps() const;

    // The page as last read: both maps and the diagnosis at the threshold
    // they were read with, and what they were read as.
    PageEvaluation loaded_;
    std::optional<Subject> loadedFrom_;
    std::shared_ptr<const PageDiagnosis> diagnosis_;
    QString problem_;
    QImage errorView_;  // of diagnosis_; null until wanted
};

}  // namespace corvanel::app
