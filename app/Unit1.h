#pragma once

#include "app/Waiter.h"
#include "run/runner.h"
#include "run/workspace.h"
#include "imaging/imagecontrol.h"

#include <QString>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPushButton;
class QRadioButton;

namespace corvanel::app {

class DiagnosisPanel;
class LabeledEdit;
class TForm5;

// The main window: every control under its layout name, the handlers named
// after control and event, and the state that outlives a handler.
class TForm1 : public QWidget {
    Q_OBJECT
public:
    // The workspace is the program's folder unless one is given. The page
    // list comes from the current directory at this moment, or, with
    // `listWorkspace`, from the workspace's own images folder; the title then
    // names the workspace. A program folder (by default the executable's)
    // that holds no images/ is never used: the window starts without a
    // workspace and asks for one once it is shown.
    explicit TForm1(QWidget* parent = nullptr, std::filesystem::path workspace = {}, bool listWorkspace = false,
                    std::filesystem::path programFolder = {});
    ~TForm1() override;

    static const QString caption;

    // Every message box of the window and the splash wait go through these;
    // tests replace them to read the texts instead of blocking.
    std::function<void(const QString& text)> showMessage;
    std::function<void(int milliseconds)> sleepMs;
    // Asks for a workspace folder; empty when the user gave none.
    std::function<std::filesystem::path()> chooseFolder;

    // Selects entry `row` of the file list without running its handler; the
    // remembered entry stays as it was (the batch walks the list this way).
    void selectFromCode(int row);
    // The entry for which FileListBox1Change last ran; -1 for none.
    int rememberedEntry() const { return remembered_; }
    // How often FileListBox1Change has run.
    int fileListChangeRuns() const { return fileListChangeRuns_; }
    // The name of the list's selected entry; empty when none is selected.
    std::string selectedPageName() const;

    // The folder where every input and output lies; empty while there is none.
    const std::filesystem::path& workspace() const { return workspace_.root(); }
    // Where the maps lie: the workspace with the chosen participant's results.
    const Workspace& maps() const { return workspace_; }
    // Opens another workspace: its pages are listed, its participants offered.
    void openWorkspace(const std::filesystem::path& folder);
    // The folder the file list shows: <current directory at creation>/images.
    const std::filesystem::path& listedFolder() const { return listedFolder_; }
    const std::filesystem::path& currentPagePath() const { return currentPagePath_; }

    void UpdateMemoryIndicator();

    // Handlers.
    void FileListBox1Change();
    void FormShow();
    void FormClose();
    void Button1Click();
    void RadioButton1Click() { Redraw(); }
    void RadioButton2Click() { Redraw(); }
    void RadioButton4Click() { Redraw(); }
    void RadioButton5Click() { Redraw(); }
    void RadioButton6Click() { Redraw(); }
    void CheckBox1Click() { Redraw(); }
    void CheckBox3Click();
    void CheckBox4Click();
    void Button7Click();
    void OpenWorkspaceClick();
    void ParticipantBoxChange();

    // Shows the view the radio buttons choose: the plain page, or the
    // ground truth or the result painted over it.
    void Redraw();

    // The page size every label map is read with.
    PageSize pageSize() const { return pageSize_; }
    // The overlay image last built, and where its pixels start.
    const imaging::SavedBuffer* overlayBuffer() const { return overlayBuffer_ ? &*overlayBuffer_ : nullptr; }
    std::size_t pixelOffset() const { return pixelOffset_; }
    // True while a batch evaluation runs (a second press is ignored then).
    bool batchRunning() const { return batchRunning_; }

    // Controls, by their layout names.
    QFrame* Panel1;
    QGroupBox* GroupBox1;
    QRadioButton* RadioButton1;
    QRadioButton* RadioButton2;
    QGroupBox* GroupBox2;
    QRadioButton* RadioButton4;
    QRadioButton* RadioButton5;
    QRadioButton* RadioButton6;
    QGroupBox* GroupBox3;
    QCheckBox* CheckBox1;
    QPushButton* Button1;
    QGroupBox* GroupBox4;
    QCheckBox* CheckBox3;
    // Whose results the overlay, the evaluation and the error view use.
    QGroupBox* ParticipantGroup;
    QComboBox* ParticipantBox;
    QPushButton* OpenWorkspaceButton;
    // Its menu lists the other participants: the page then shows the
    // ground-truth regions only one of the two matches one to one.
    QPushButton* CompareButton;
    QMenu* CompareMenu;

    QListWidget* FileListBox1;
    imaging::ImageControl* ImagXpress7_1;

    QFrame* Panel2;
    LabeledEdit* LabeledEdit14;
    LabeledEdit* LabeledEdit3;
    LabeledEdit* LabeledEdit1;
    LabeledEdit* LabeledEdit2;
    QFrame* Panel3;
    QPushButton* Button7;
    QFrame* Panel4;
    QCheckBox* CheckBox2;
    LabeledEdit* LabeledEdit15;
    LabeledEdit* LabeledEdit13;
    QCheckBox* CheckBox4;
    QCheckBox* inkOnly;  // count only the page's ink
    LabeledEdit* LabeledEdit4;
    LabeledEdit* LabeledEdit5;
    LabeledEdit* LabeledEdit6;
    LabeledEdit* LabeledEdit7;
    LabeledEdit* LabeledEdit8;
    LabeledEdit* LabeledEdit11;
    LabeledEdit* LabeledEdit12;
    LabeledEdit* LabeledEdit9;
    LabeledEdit* LabeledEdit10;
    LabeledEdit* LabeledEdit16;
    QFrame* Panel5;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLineEdit* Edit1;
    QLineEdit* Edit2;
    QLineEdit* Edit3;
    QLabel* Label5;
    QLabel* Label6;
    QLabel* Label7;
    imaging::ImageControl* ImagXpress7_2;

    // Below the evaluation panel: why the shown page scores what it scores.
    DiagnosisPanel* Diagnosis;

    TForm5* Form5;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildTopStrip();
    void buildRightPanel();
    void buildEvaluationPanel();
    void buildWeightsPanel();
    void bindEvents();
    void fillFileList();
    void fillParticipants();
    void fillCompareMenu();
    void setTitle();
    void userSelected(int row);
    void showSplash();
    void buildOverlayBase();
    void paintLabelMap(MapKind kind);
    Level level() const;
    // How the page's sources are read: the ink check box, the page decoded for its ink.
    SourceSettings sourceSettings() const;
    void showCounts(const Counts& counts, const RateTexts& rates);
    void evaluateCurrentPage(const RunSettings& settings);
    void evaluateBatch(const RunSettings& settings);
    // One page evaluated on the waiter's thread; nullopt when cancelled.
    std::optional<PageOutcome> evaluateWaiting(const Workspace& workspace, const RunSettings& settings,
                                               const std::string& name, PageSize size);
    // Messages of an evaluation; ends the process on an allocation failure.
    void showMessages(const std::vector<std::string>& messages, bool fatal);
    // Tells the diagnosis panel what is shown now.
    void updateDiagnosis(bool reread = false);

    Workspace workspace_;
    std::vector<Participant> participants_;  // ParticipantBox's entries
    bool listsWorkspace_ = false;
    bool askForWorkspace_ = false;
    std::filesystem::path listedFolder_;
    std::vector<std::string> pageNames_;  // the list's entries, as the file system spells them
    int remembered_ = -1;
    int fileListChangeRuns_ = 0;
    bool shownBefore_ = false;

    std::filesystem::path currentPagePath_;
    // The page the hidden copy holds, the source of every overlay; empty when none.
    std::filesystem::path hiddenPagePath_;
    PageSize pageSize_;
    // Whether the current page's image was loaded: no evaluation may use the
    // size of another image.
    bool pageLoaded_ = false;
    // The overlay image shown in the display; released when the window closes.
    std::optional<imaging::SavedBuffer> overlayBuffer_;
    std::size_t pixelOffset_ = 0;
    std::int32_t threshold_ = 0;
    bool success_ = false;
    bool batchRunning_ = false;
    // Last, so it goes first: it waits for cancelled work, which uses none of the above.
    std::unique_ptr<Waiter> waiter_ = std::make_unique<Waiter>(this);
};

}  // namespace corvanel::app
