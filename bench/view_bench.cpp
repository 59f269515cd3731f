// The viewer on a 2500 x 3500 page: selecting it (load, fit, 1-bit copy and
// the redraw) and redrawing it, both with the word-level ground truth and
// bounding boxes painted and the display repainted.

#include "Unit1.h"
#include "workspace.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCheckBox>
#include <QListWidget>
#include <QRadioButton>

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

namespace fs = std::filesystem;
using corvanel::app::TForm1;

namespace {

struct Viewer {
    fs::path workspace = fs::temp_directory_path() / ("corvanel-view-bench-" + std::to_string(::getpid()));
    std::unique_ptr<TForm1> form;

    Viewer() {
        corvanel::synth::writeWorkspace(workspace, 1, corvanel::synth::PageLayout{});  // 2500 x 3500
        fs::current_path(workspace);
        form = std::make_unique<TForm1>(nullptr, workspace);
        form->sleepMs = [](int) {};
        form->showMessage = [](const QString& text) { qFatal("unexpected message: %s", qPrintable(text)); };
        form->resize(1215, 705);
        form->show();
        form->RadioButton2->setChecked(true);  // words
        form->RadioButton5->setChecked(true);  // ground truth
        form->CheckBox1->setChecked(true);     // bounding boxes
        form->selectFromCode(0);
        QCoreApplication::processEvents();
    }
    ~Viewer() {
        form.reset();
        fs::remove_all(workspace);
    }
};

Viewer& viewer() {
    static Viewer v;
    return v;
}

void SelectPage(benchmark::State& state) {
    TForm1& form = *viewer().form;
    for (auto _ : state) {
        form.FileListBox1Change();
        QCoreApplication::processEvents();
    }
}

void Redraw(benchmark::State& state) {
    TForm1& form = *viewer().form;
    for (auto _ : state) {
        form.Redraw();
        QCoreApplication::processEvents();
    }
}

BENCHMARK(SelectPage)->Unit(benchmark::kMillisecond);
BENCHMARK(Redraw)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    viewer();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
