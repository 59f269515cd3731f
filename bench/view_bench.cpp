// The viewer on a 2500 x 3500 page: selecting it (load, fit, 1-bit copy and
// the redraw) and redrawing it, both with the word-level ground truth and
// bounding boxes painted and the display repainted, and evaluating it. The diagnosis panel on a
// dense word page (about 3000 regions a side): ticking "Show errors" to a
// painted error view, the line under the cursor as the pointer moves, and
// selecting a problem region to its zoomed view. A hostile page (every pixel
// of the result its own region): the longest the window is held up while
// "Show errors" works, and the overlay and "Evaluation" the user waits for.

#include "app/DiagnosisPanel.h"
#include "app/LabeledEdit.h"
#include "app/Unit1.h"
#include "bench/bench_support.h"
#include "tools/synth.h"
#include "tools/workspace.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QTableView>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace fs = std::filesystem;
using corvanel::app::TForm1;

namespace {

struct Viewer {
    fs::path workspace;
    std::unique_ptr<TForm1> form;

    explicit Viewer(const char* name, corvanel::synth::PageLayout layout,
                    const std::function<void(const fs::path&)>& alter = {})
        : workspace(fs::temp_directory_path() / ("corvanel-view-bench-" + std::string(name) + std::to_string(::getpid()))) {
        corvanel::synth::writeWorkspace(workspace, 1, layout);
        if (alter) alter(workspace);
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
        form->FileListBox1Change();  // the page is shown, as a click would
        QCoreApplication::processEvents();
    }
    ~Viewer() {
        form.reset();
        fs::remove_all(workspace);
    }
};

Viewer& viewer() {
    static Viewer v("words", corvanel::synth::PageLayout{});  // 2500 x 3500, 300 words
    return v;
}

Viewer& denseViewer() {
    static Viewer v("dense", [] {
        corvanel::synth::PageLayout layout;
        layout.lines = 60;
        layout.wordsPerLine = 50;
        return layout;
    }());
    return v;
}

Viewer* hostileMade = nullptr;  // made only when one of its benchmarks runs

// The word page with a result where every pixel is a region of its own: a
// problem region a pixel.
Viewer& hostileViewer() {
    static Viewer v("hostile", corvanel::synth::PageLayout{}, [](const fs::path& dir) {
        corvanel::LabelMap every(2500, 3500);
        for (std::size_t i = 0; i < every.pixelCount(); ++i) every.data()[i] = static_cast<std::int32_t>(i + 1);
        corvanel::synth::writeLabelMap(dir / "results" / "words" / "page01.tif.dat", every);
    });
    hostileMade = &v;
    return v;
}

void repaintDisplay(TForm1& form) {
    form.ImagXpress7_1->viewport()->repaint();
    QCoreApplication::processEvents();
}

// "Show errors" ticked to a painted error view; left ticked.
void showErrors(benchmark::State& state, TForm1& form) {
    for (auto _ : state) {
        form.Diagnosis->showErrors->setChecked(true);
        form.Diagnosis->wait();
        repaintDisplay(form);
        state.PauseTiming();
        form.Diagnosis->showErrors->setChecked(false);
        repaintDisplay(form);
        state.ResumeTiming();
    }
    form.Diagnosis->showErrors->setChecked(true);
    form.Diagnosis->wait();
    state.counters["regions"] = static_cast<double>(form.Diagnosis->diagnosis()->gt().size());
}

void ShowErrors(benchmark::State& state) { showErrors(state, *denseViewer().form); }

// A pointer move over the page, through the display's event, to the panel's text.
void UnderTheCursor(benchmark::State& state) {
    TForm1& form = *denseViewer().form;
    form.Diagnosis->showErrors->setChecked(true);
    form.Diagnosis->wait();
    QWidget* view = form.ImagXpress7_1->viewport();
    int step = 0;
    for (auto _ : state) {
        const QPointF at(view->width() / 2 + (step % 40), view->height() / 2 + (step / 40 % 40));
        ++step;
        QMouseEvent move(QEvent::MouseMove, at, view->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(view, &move);
        benchmark::DoNotOptimize(form.Diagnosis->underCursor->text().size());
    }
}

void SelectProblem(benchmark::State& state) {
    TForm1& form = *denseViewer().form;
    form.Diagnosis->showErrors->setChecked(true);
    form.Diagnosis->wait();
    const int entries = form.Diagnosis->problems->model()->rowCount();
    if (entries == 0) state.SkipWithError("no problem regions");
    int row = 0;
    for (auto _ : state) {
        form.Diagnosis->problems->setCurrentIndex(form.Diagnosis->problems->model()->index(row, 0));
        repaintDisplay(form);
        row = (row + 37) % std::max(1, entries);
    }
    state.counters["entries"] = entries;
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

// "None": the page itself again, after an overlay.
void None(benchmark::State& state) {
    TForm1& form = *viewer().form;
    for (auto _ : state) {
        state.PauseTiming();
        form.RadioButton5->setChecked(true);  // ground truth
        repaintDisplay(form);
        state.ResumeTiming();
        form.RadioButton4->setChecked(true);
        repaintDisplay(form);
    }
    form.RadioButton5->setChecked(true);
}

// The error view of the word page, as ShowErrors does on the dense one.
void ShowErrorsWords(benchmark::State& state) {
    TForm1& form = *viewer().form;
    showErrors(state, form);
    form.Diagnosis->showErrors->setChecked(false);  // the other benchmarks on this page run without it
}

// "Evaluation" on the selected page, to its scores shown: the window's
// side of `corvanel-eval WORKSPACE --page page01.tif --level words`.
void Evaluation(benchmark::State& state) {
    TForm1& form = *viewer().form;
    for (auto _ : state) {
        form.Button7->click();
        QCoreApplication::processEvents();
    }
    state.counters["FM"] = form.LabeledEdit16->text().remove('%').toDouble();
}

// The longest the window's event loop went without a turn: the largest gap
// between the beats of a 5 ms timer, from begin() to end().
class StallMeter {
public:
    StallMeter() {
        QObject::connect(&beat_, &QTimer::timeout, [this] { tick(); });
        beat_.start(5);
    }
    void begin() {
        clock_.restart();
        last_ = 0;
        on_ = true;
    }
    void end() {
        tick();
        on_ = false;
    }
    double longestMs() const { return static_cast<double>(longest_); }

private:
    void tick() {
        if (!on_) return;
        const qint64 now = clock_.elapsed();
        longest_ = std::max(longest_, now - last_);
        last_ = now;
    }
    QTimer beat_;
    QElapsedTimer clock_;
    qint64 last_ = 0, longest_ = 0;
    bool on_ = false;
};

// The window's own loop while work it started goes on elsewhere.
void turnUntil(const std::function<bool()>& done) {
    while (!done()) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// "Show errors" on the hostile page, ticked to its error view shown, with
// the longest stall of the window meanwhile and the process's peak memory.
void HostileShowErrors(benchmark::State& state) {
    TForm1& form = *hostileViewer().form;
    StallMeter stalls;
    corvanel::bench::PeakMemory memory;
    memory.start();
    for (auto _ : state) {
        stalls.begin();
        form.Diagnosis->showErrors->setChecked(true);
        turnUntil([&] { return !form.Diagnosis->working(); });
        repaintDisplay(form);
        stalls.end();
        state.PauseTiming();
        form.Diagnosis->showErrors->setChecked(false);
        repaintDisplay(form);
        state.ResumeTiming();
    }
    state.counters["longestStallMs"] = stalls.longestMs();
    state.counters["peakMiB"] = memory.mibSinceStart();
    form.Diagnosis->showErrors->setChecked(true);
    form.Diagnosis->wait();
    state.counters["problems"] = form.Diagnosis->problems->model()->rowCount();
    form.Diagnosis->showErrors->setChecked(false);
}

// The hostile result painted over the page, and "Evaluation" on it: work the
// user waits for, beside the window.
void HostileResultOverlay(benchmark::State& state) {
    TForm1& form = *hostileViewer().form;
    StallMeter stalls;
    for (auto _ : state) {
        stalls.begin();
        form.RadioButton6->setChecked(true);
        repaintDisplay(form);
        stalls.end();
        state.PauseTiming();
        state.counters["regions"] = form.LabeledEdit2->text().toDouble();
        form.RadioButton4->setChecked(true);
        repaintDisplay(form);
        state.ResumeTiming();
    }
    state.counters["longestStallMs"] = stalls.longestMs();
}

void HostileEvaluation(benchmark::State& state) {
    TForm1& form = *hostileViewer().form;
    StallMeter stalls;
    for (auto _ : state) {
        stalls.begin();
        form.Button7->click();
        QCoreApplication::processEvents();
        stalls.end();
    }
    state.counters["longestStallMs"] = stalls.longestMs();
    state.counters["M"] = form.LabeledEdit5->text().toDouble();
}

BENCHMARK(SelectPage)->Unit(benchmark::kMillisecond);
BENCHMARK(Redraw)->Unit(benchmark::kMillisecond);
BENCHMARK(None)->Unit(benchmark::kMillisecond);
BENCHMARK(Evaluation)->Unit(benchmark::kMillisecond);
BENCHMARK(ShowErrorsWords)->Unit(benchmark::kMillisecond);
BENCHMARK(ShowErrors)->Unit(benchmark::kMillisecond);
BENCHMARK(UnderTheCursor)->Unit(benchmark::kMicrosecond);
BENCHMARK(SelectProblem)->Unit(benchmark::kMillisecond);
BENCHMARK(HostileShowErrors)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(HostileResultOverlay)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(HostileEvaluation)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    viewer();
    denseViewer();
    benchmark::RunSpecifiedBenchmarks();
    // The windows go before the application does, not at static teardown.
    viewer().form.reset();
    denseViewer().form.reset();
    if (hostileMade) hostileMade->form.reset();
    benchmark::Shutdown();
}
