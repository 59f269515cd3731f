#include "app/Unit1.h"

#include "app/DiagnosisPanel.h"
#include "app/LabeledEdit.h"
#include "app/Look.h"
#include "app/MemoryStatus.h"
#include "app/Unit5.h"
#include "app/Waiter.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <type_traits>

namespace corvanel::app {

const QString TForm1::caption = QStringLiteral("Corvanel - Viewer & Evaluator v.2");

namespace {

using Position = LabeledEdit::LabelPosition;

template <class W>
W* place(QWidget* parent, const char* name, const QRect& geometry) {
    auto* widget = new W(parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(geometry);
    return widget;
}

// Buttons, check boxes, radio buttons and group boxes: screen readers find
// them by their caption.
template <class W>
W* captioned(QWidget* parent, const char* name, const QString& text, const QRect& geometry) {
    W* widget = place<W>(parent, name, geometry);
    if constexpr (std::is_base_of_v<QGroupBox, W>)
        widget->setTitle(text);
    else
        widget->setText(text);
    widget->setAccessibleName(text);
    return widget;
}

QFrame* panel(QWidget* parent, const char* name) {
    auto* frame = new QFrame(parent);
    frame->setObjectName(QString::fromLatin1(name));
    frame->setFrameStyle(QFrame::Panel | QFrame::Raised);
    frame->setLineWidth(1);
    return frame;
}

QLabel* staticLabel(QWidget* parent, const char* name, const QString& text, QPoint at) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->adjustSize();
    label->move(at);
    return label;
}

void setBase(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Base, colour);
    widget->setPalette(palette);
}

// A read-only field on a dark ground: larger text in the window colour.
void setDarkField(QLineEdit* edit, const QColor& colour) {
    QPalette palette = edit->palette();
    palette.setColor(QPalette::Text, palette.color(QPalette::Base));
    palette.setColor(QPalette::Base, colour);
    edit->setPalette(palette);
    QFont font = edit->font();
    font.setPixelSize(12);
    edit->setFont(font);
}

LabeledEdit* field(QWidget* parent, const char* name, const QString& caption, Position position,
                   const QRect& geometry, const QColor& colour = QColor()) {
    auto* edit = new LabeledEdit(QString::fromLatin1(name), caption, position, geometry, parent);
    edit->setReadOnly(true);
    if (colour.isValid()) setBase(edit, colour);
    return edit;
}

}  // namespace

TForm1::TForm1(QWidget* parent, std::filesystem::path workspace, bool listWorkspace,
               std::filesystem::path programFolder)
    : QWidget(parent), listsWorkspace_(listWorkspace) {
    if (workspace.empty()) {
        if (programFolder.empty())
            programFolder = std::filesystem::path(QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString());
        // Installed, the program's folder is /usr/bin: nothing there is ours
        // to read or write.
        std::error_code ec;
        if (std::filesystem::is_directory(Workspace::imagesFolderOf(programFolder), ec))
            workspace = programFolder;
        else
            askForWorkspace_ = true;
    }
    workspace_ = Workspace(workspace);
    if (!workspace_.empty())
        listedFolder_ = Workspace::imagesFolderOf(listWorkspace ? workspace_.root() : std::filesystem::current_path());

    showMessage = [this](const QString& text) {
        QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text, QMessageBox::Ok, this);
        // Messages come in the middle of busy work; the box wants a pointer.
        QApplication::setOverrideCursor(Qt::ArrowCursor);
        box.exec();
        QApplication::restoreOverrideCursor();
    };
    sleepMs = [](int milliseconds) { QThread::msleep(static_cast<unsigned long>(milliseconds)); };
    chooseFolder = [this] {
        const QString folder = QFileDialog::getExistingDirectory(this, QStringLiteral("Open workspace"));
        return std::filesystem::path(QFile::encodeName(folder).toStdString());
    };

    setObjectName(QStringLiteral("Form1"));
    setTitle();
    setFont(formFont());

    buildTopStrip();

    FileListBox1 = new QListWidget(this);
    FileListBox1->setObjectName(QStringLiteral("FileListBox1"));
    FileListBox1->setAccessibleName(QStringLiteral("Page images"));
    FileListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
    FileListBox1->setFixedWidth(145);

    ImagXpress7_1 = new imaging::ImageControl(this);
    ImagXpress7_1->setObjectName(QStringLiteral("ImagXpress7_1"));
    ImagXpress7_1->setAccessibleName(QStringLiteral("Page display"));

    buildRightPanel();

    // Docking: the strip on top, the list left, the panel right, the display
    // takes the rest.
    auto* below = new QHBoxLayout;
    below->setContentsMargins(0, 0, 0, 0);
    below->setSpacing(0);
    below->addWidget(FileListBox1);
    below->addWidget(ImagXpress7_1, 1);
    below->addWidget(Panel2);
    auto* client = new QVBoxLayout(this);
    client->setContentsMargins(0, 0, 0, 0);
    client->setSpacing(0);
    client->addWidget(Panel1);
    client->addLayout(below, 1);

    // Restored bounds: the outer frame at 55, 129; the client area 1215 x 705.
    move(55, 129);
    resize(1215, 705);

    Form5 = new TForm5(this);

    fillParticipants();
    bindEvents();
}

void TForm1::setTitle() {
    setWindowTitle(listsWorkspace_ && !workspace_.empty()
                       ? caption + QStringLiteral(" - ") + QFile::decodeName(workspace_.root().c_str())
                       : caption);
}

TForm1::~TForm1() = default;

void TForm1::buildTopStrip() {
    Panel1 = panel(this, "Panel1");
    Panel1->setFixedHeight(57);

    GroupBox1 = captioned<QGroupBox>(Panel1, "GroupBox1", QStringLiteral("View - Evaluate"), {8, 8, 161, 41});
    RadioButton1 = captioned<QRadioButton>(GroupBox1, "RadioButton1", QStringLiteral("Lines"), {16, 16, 73, 17});
    RadioButton2 = captioned<QRadioButton>(GroupBox1, "RadioButton2", QStringLiteral("Words"), {88, 16, 57, 17});
    RadioButton1->setChecked(true);

    GroupBox2 = captioned<QGroupBox>(Panel1, "GroupBox2", QStringLiteral("Annotated Regions"), {176, 8, 297, 41});
    RadioButton4 = captioned<QRadioButton>(GroupBox2, "RadioButton4", QStringLiteral("None"), {16, 16, 73, 17});
    RadioButton5 =
        captioned<QRadioButton>(GroupBox2, "RadioButton5", QStringLiteral("Ground Truth"), {88, 16, 105, 17});
    RadioButton6 = captioned<QRadioButton>(GroupBox2, "RadioButton6", QStringLiteral("Result"), {208, 16, 81, 17});
    RadioButton4->setChecked(true);

    GroupBox3 = captioned<QGroupBox>(Panel1, "GroupBox3", QStringLiteral("Draw"), {480, 8, 169, 41});
    CheckBox1 = captioned<QCheckBox>(GroupBox3, "CheckBox1", QStringLiteral("Bounding Boxes"), {21, 16, 124, 17});

    Button1 = captioned<QPushButton>(Panel1, "Button1", QStringLiteral("About"), {656, 16, 97, 25});

    ParticipantGroup = captioned<QGroupBox>(Panel1, "ParticipantGroup", QStringLiteral("Results of"), {760, 8, 177, 41});
    ParticipantBox = place<QComboBox>(ParticipantGroup, "ParticipantBox", {8, 14, 161, 21});
    ParticipantBox->setAccessibleName(QStringLiteral("Results of"));
    OpenWorkspaceButton = captioned<QPushButton>(Panel1, "OpenWorkspaceButton", QStringLiteral("Open workspace..."),
                                                 {1048, 16, 121, 25});
    OpenWorkspaceButton->setShortcut(QKeySequence::Open);
    OpenWorkspaceButton->setToolTip(QStringLiteral("Open another workspace (Ctrl+O)"));
    // Where the hidden "New Dat Files" group lies: the strip has no other room.
    CompareButton = captioned<QPushButton>(Panel1, "CompareButton", QStringLiteral("Compare with..."), {944, 16, 97, 25});
    CompareButton->setToolTip(
        QStringLiteral("Show the ground-truth regions that the participant of \"Results of\" or another one matches "
                       "one to one and the other does not"));
    CompareMenu = new QMenu(CompareButton);
    CompareMenu->setObjectName(QStringLiteral("CompareMenu"));
    CompareButton->setMenu(CompareMenu);

    GroupBox4 = captioned<QGroupBox>(Panel1, "GroupBox4", QStringLiteral("New Dat Files"), {944, 8, 97, 41});
    CheckBox3 = captioned<QCheckBox>(GroupBox4, "CheckBox3", QStringLiteral("Read Ix,Iy"), {13, 16, 76, 17});
    CheckBox3->hide();
    GroupBox4->hide();
}

void TForm1::buildRightPanel() {
    Panel2 = panel(this, "Panel2");
    Panel2->setFixedWidth(336);

    LabeledEdit14 = field(Panel2, "LabeledEdit14", QStringLiteral("Avail. Physical Memory:"), Position::Above,
                          {45, 18, 119, 21});
    setDarkField(LabeledEdit14, colours::red);
    LabeledEdit14->setFitText(false);  // the memory text scrolls, with the whole in its tool tip
    LabeledEdit3 =
        field(Panel2, "LabeledEdit3", QStringLiteral("Image Size:"), Position::Above, {184, 18, 107, 21}, colours::skyBlue);
    LabeledEdit1 = field(Panel2, "LabeledEdit1", QStringLiteral("Grounf Truth Regions:"), Position::Above,
                         {47, 54, 114, 21}, colours::aqua);
    LabeledEdit2 = field(Panel2, "LabeledEdit2", QStringLiteral("Result Regions:"), Position::Above,
                         {184, 54, 107, 21}, colours::aqua);

    Panel3 = panel(Panel2, "Panel3");
    Panel3->setGeometry(7, 82, 321, 246);
    buildEvaluationPanel();
    // Created after Panel3, so it lies in front of the panel's top edge.
    Button7 = captioned<QPushButton>(Panel2, "Button7", QStringLiteral("Evaluation"), {11, 87, 310, 25});

    Panel5 = panel(Panel2, "Panel5");
    Panel5->setGeometry(176, 336, 153, 145);
    buildWeightsPanel();
    Panel5->hide();

    ImagXpress7_2 = new imaging::ImageControl(Panel2);
    ImagXpress7_2->setObjectName(QStringLiteral("ImagXpress7_2"));
    ImagXpress7_2->setAccessibleName(QStringLiteral("Page copy"));
    ImagXpress7_2->setGeometry(64, 784, 73, 89);
    ImagXpress7_2->hide();

    Diagnosis = new DiagnosisPanel(Panel2, ImagXpress7_1);
}

void TForm1::buildEvaluationPanel() {
    Panel4 = panel(Panel3, "Panel4");
    Panel4->setGeometry(15, 43, 59, 72);
    Panel4->setAutoFillBackground(true);
    QPalette silver = Panel4->palette();
    silver.setColor(QPalette::Window, colours::silver);
    Panel4->setPalette(silver);
    CheckBox2 = captioned<QCheckBox>(Panel4, "CheckBox2", QStringLiteral("Batch"), {3, 13, 53, 14});
    LabeledEdit15 = field(Panel4, "LabeledEdit15", QStringLiteral("Im."), Position::Left, {26, 39, 27, 21});
    setDarkField(LabeledEdit15, colours::navy);

    LabeledEdit13 = field(Panel3, "LabeledEdit13", QStringLiteral("MC_thres(%)"), Position::Above, {96, 52, 49, 21});
    LabeledEdit13->setReadOnly(false);
    LabeledEdit13->setText(QStringLiteral("90"));
    inkOnly = captioned<QCheckBox>(Panel3, "inkOnly", QStringLiteral("Ink only"), {152, 55, 70, 17});
    inkOnly->setToolTip(QStringLiteral("Count only the pixels that are ink in the page image, on both sides"));

    CheckBox4 =
        captioned<QCheckBox>(Panel3, "CheckBox4", QStringLiteral("many2one - one2many"), {181, 77, 132, 17});
    CheckBox4->hide();

    const auto left = Position::Left;
    LabeledEdit4 = field(Panel3, "LabeledEdit4", QStringLiteral("N:"), left, {117, 104, 41, 21}, colours::lime);
    LabeledEdit5 = field(Panel3, "LabeledEdit5", QStringLiteral("M:"), left, {117, 127, 41, 21}, colours::lime);
    LabeledEdit6 = field(Panel3, "LabeledEdit6", QStringLiteral("one2one:"), left, {259, 97, 41, 21}, colours::aqua);
    LabeledEdit7 =
        field(Panel3, "LabeledEdit7", QStringLiteral("g_one2many:"), left, {259, 120, 41, 21}, colours::aqua);
    LabeledEdit8 =
        field(Panel3, "LabeledEdit8", QStringLiteral("g_many2one:"), left, {259, 145, 41, 21}, colours::aqua);
    LabeledEdit11 =
        field(Panel3, "LabeledEdit11", QStringLiteral("d_one2many:"), left, {259, 168, 41, 21}, colours::aqua);
    LabeledEdit12 =
        field(Panel3, "LabeledEdit12", QStringLiteral("d_many2one:"), left, {259, 193, 41, 21}, colours::aqua);
    for (LabeledEdit* hidden : {LabeledEdit7, LabeledEdit8, LabeledEdit11, LabeledEdit12}) hidden->hide();
    LabeledEdit9 =
        field(Panel3, "LabeledEdit9", QStringLiteral("Detection Rate:"), left, {119, 167, 41, 21}, colours::yellow);
    LabeledEdit10 = field(Panel3, "LabeledEdit10", QStringLiteral("Recognition Accuracy:"), left, {119, 192, 41, 21},
                          colours::yellow);
    LabeledEdit16 =
        field(Panel3, "LabeledEdit16", QStringLiteral("FM    :"), left, {119, 216, 41, 21}, colours::skyBlue);
}

void TForm1::buildWeightsPanel() {
    Label1 = staticLabel(Panel5, "Label1", QStringLiteral("Evaluation Weights"), {8, 16});
    QFont bold = Label1->font();
    bold.setPixelSize(12);
    bold.setBold(true);
    Label1->setFont(bold);
    Label1->adjustSize();
    Label2 = staticLabel(Panel5, "Label2", QStringLiteral("one2one:"), {8, 40});
    Label3 = staticLabel(Panel5, "Label3", QStringLiteral("one2many:"), {8, 63});
    Label4 = staticLabel(Panel5, "Label4", QStringLiteral("many2one:"), {8, 88});
    const auto weight = [this](const char* name, const QString& text, const QRect& geometry, QLabel* label) {
        auto* edit = place<QLineEdit>(Panel5, name, geometry);
        edit->setText(text);
        edit->setAccessibleName(label->text());
        label->setBuddy(edit);
        return edit;
    };
    Edit1 = weight("Edit1", QStringLiteral("100"), {72, 36, 33, 21}, Label2);
    Edit2 = weight("Edit2", QStringLiteral("0"), {72, 60, 33, 21}, Label3);
    Edit3 = weight("Edit3", QStringLiteral("0"), {72, 84, 33, 21}, Label4);
    Label5 = staticLabel(Panel5, "Label5", QStringLiteral("%"), {104, 40});
    Label6 = staticLabel(Panel5, "Label6", QStringLiteral("%"), {104, 64});
    Label7 = staticLabel(Panel5, "Label7", QStringLiteral("%"), {104, 87});
}

// After the defaults are set, so building the window runs no handler.
void TForm1::bindEvents() {
    // A radio button's handler runs when it becomes checked, never for the
    // one that loses its check.
    const auto whenChecked = [this](QRadioButton* button, void (TForm1::*handler)()) {
        connect(button, &QRadioButton::toggled, this, [this, handler](bool checked) {
            if (checked) (this->*handler)();
        });
    };
    whenChecked(RadioButton1, &TForm1::RadioButton1Click);
    whenChecked(RadioButton2, &TForm1::RadioButton2Click);
    whenChecked(RadioButton4, &TForm1::RadioButton4Click);
    whenChecked(RadioButton5, &TForm1::RadioButton5Click);
    whenChecked(RadioButton6, &TForm1::RadioButton6Click);
    // clicked: a toggle by the user, by mouse or keyboard.
    connect(CheckBox1, &QCheckBox::clicked, this, &TForm1::CheckBox1Click);
    connect(CheckBox3, &QCheckBox::clicked, this, &TForm1::CheckBox3Click);
    connect(inkOnly, &QCheckBox::clicked, this, [this] {
        Redraw();
        updateDiagnosis();
    });
    connect(CheckBox4, &QCheckBox::clicked, this, &TForm1::CheckBox4Click);
    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(Button7, &QPushButton::clicked, this, &TForm1::Button7Click);
    connect(OpenWorkspaceButton, &QPushButton::clicked, this, &TForm1::OpenWorkspaceClick);
    connect(ParticipantBox, &QComboBox::currentIndexChanged, this, &TForm1::ParticipantBoxChange);
    connect(CompareMenu, &QMenu::aboutToShow, this, &TForm1::fillCompareMenu);
    connect(LabeledEdit13, &QLineEdit::textChanged, this, [this] { updateDiagnosis(); });

    // Keyboard and mouse both change the selection; a press on the entry that
    // code selected changes nothing, yet counts as the user's choice.
    connect(FileListBox1, &QListWidget::itemSelectionChanged, this, [this] {
        const QList<QListWidgetItem*> selected = FileListBox1->selectedItems();
        if (!selected.isEmpty()) userSelected(FileListBox1->row(selected.front()));
    });
    connect(FileListBox1, &QListWidget::itemPressed, this, [this](QListWidgetItem* item) {
        if (item->isSelected()) userSelected(FileListBox1->row(item));
    });
}

void TForm1::userSelected(int row) {
    if (row < 0 || row == remembered_) return;
    remembered_ = row;
    FileListBox1Change();
}

void TForm1::selectFromCode(int row) {
    const QSignalBlocker blocker(FileListBox1);
    FileListBox1->setCurrentRow(row);
    if (QListWidgetItem* item = FileListBox1->item(row)) FileListBox1->scrollToItem(item);
}

std::string TForm1::selectedPageName() const {
    const QList<QListWidgetItem*> selected = FileListBox1->selectedItems();
    if (selected.isEmpty()) return {};
    return pageNames_.at(static_cast<std::size_t>(FileListBox1->row(selected.front())));
}

void TForm1::fillFileList() {
    {
        const QSignalBlocker blocker(FileListBox1);
        FileListBox1->clear();
        pageNames_ = workspace_.empty() ? std::vector<std::string>() : listPages(listedFolder_);
        for (const std::string& name : pageNames_) FileListBox1->addItem(QFile::decodeName(name.c_str()));
    }
    remembered_ = -1;
    FileListBox1Change();
}

void TForm1::UpdateMemoryIndicator() {
    const QString text = QString::fromStdString(memoryIndicatorText(availablePhysicalMemory()));
    LabeledEdit14->setText(text);
    // With many gigabytes free the text outgrows the field: keep its start,
    // the megabytes, in view, and the whole in the tool tip.
    LabeledEdit14->setCursorPosition(0);
    LabeledEdit14->setToolTip(text);
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shownBefore_ || event->spontaneous()) return;
    shownBefore_ = true;
    fillFileList();
    FormShow();
    // Asked once the window is on the screen, from the event loop.
    if (askForWorkspace_)
        QTimer::singleShot(0, this, [this] {
            if (askForWorkspace_) OpenWorkspaceClick();
        });
}

void TForm1::showSplash() {
    Form5->show();
    Form5->raise();
    // The window system maps the splash asynchronously; wait until it can be
    // painted (a second at most), so it is on the screen while we sleep.
    QCoreApplication::processEvents();
    QElapsedTimer waited;
    waited.start();
    while (!(Form5->windowHandle() && Form5->windowHandle()->isExposed()) && waited.elapsed() < 1000) {
        QThread::msleep(10);
        QCoreApplication::processEvents();
    }
    Form5->repaint();
    QCoreApplication::processEvents();
    QGuiApplication::sync();
}

void TForm1::FormShow() {
    showSplash();
    sleepMs(3000);
    Form5->hide();
    ImagXpress7_1->setScrollBars(3);
    UpdateMemoryIndicator();
}

void TForm1::closeEvent(QCloseEvent* event) {
    FormClose();
    QWidget::closeEvent(event);
}

void TForm1::FormClose() { overlayBuffer_.reset(); }

void TForm1::Button1Click() { Form5->exec(); }

void TForm1::OpenWorkspaceClick() {
    const std::filesystem::path folder = chooseFolder();
    if (!folder.empty()) openWorkspace(folder);
}

void TForm1::openWorkspace(const std::filesystem::path& folder) {
    auto opened = Workspace::open(folder);
    if (const auto* why = std::get_if<std::string>(&opened)) {
        showMessage(QStringLiteral("Cannot open the workspace: %1.").arg(QFile::decodeName(why->c_str())));
        return;
    }
    workspace_ = std::get<Workspace>(std::move(opened));
    listsWorkspace_ = true;
    askForWorkspace_ = false;
    listedFolder_ = workspace_.imagesFolder();
    setTitle();
    // Nothing of the last workspace's page may stand in for this one's.
    pageLoaded_ = false;
    pageSize_ = {};
    hiddenPagePath_.clear();
    overlayBuffer_.reset();
    ImagXpress7_1->setHDIB(imaging::Bitmap());
    ImagXpress7_2->setHDIB(imaging::Bitmap());
    for (LabeledEdit* field : {LabeledEdit3, LabeledEdit1, LabeledEdit2}) field->clear();
    fillParticipants();
    fillFileList();
}

void TForm1::fillParticipants() {
    participants_ = workspace_.participants();
    // A workspace of the usual layout whose results are not there yet.
    if (participants_.empty() && !workspace_.empty())
        participants_.push_back(Workspace(workspace_.root()).resultsParticipant());
    {
        const QSignalBlocker blocker(ParticipantBox);
        ParticipantBox->clear();
        for (const Participant& p : participants_) ParticipantBox->addItem(QFile::decodeName(p.name.c_str()));
    }
    ParticipantBox->setEnabled(!participants_.empty());
    CompareButton->setEnabled(participants_.size() > 1);
    // results/ when it holds any, else the first participant.
    if (!participants_.empty() && workspace_.resultsFolder() != participants_.front().folder)
        workspace_.setResultsFolder(participants_.front().folder);
}

void TForm1::fillCompareMenu() {
    CompareMenu->clear();
    const std::optional<Participant>& compared = Diagnosis->comparedWith();
    for (const Participant& p : participants_) {
        if (p.folder == workspace_.resultsFolder()) continue;
        QAction* action = CompareMenu->addAction(QFile::decodeName(p.name.c_str()));
        action->setCheckable(true);
        action->setChecked(compared && compared->folder == p.folder);
        connect(action, &QAction::triggered, this, [this, p] { Diagnosis->compareWith(p); });
    }
    if (compared) {
        CompareMenu->addSeparator();
        connect(CompareMenu->addAction(QStringLiteral("Stop comparing")), &QAction::triggered, Diagnosis,
                &DiagnosisPanel::stopComparing);
    }
}

void TForm1::ParticipantBoxChange() {
    const int row = ParticipantBox->currentIndex();
    if (row < 0 || static_cast<std::size_t>(row) >= participants_.size()) return;
    if (workspace_.setResultsFolder(participants_[static_cast<std::size_t>(row)].folder)) return;
    Redraw();
    updateDiagnosis(/*reread=*/true);
}

}  // namespace corvanel::app
