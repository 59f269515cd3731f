// corvanel-mkworkspace: writes a workspace of synthetic handwritten pages:
// images/ (black-and-white TIFF), the ground truth and an imperfect result
// at line and word level.

#include "corvanel_version.h"
#include "tools/workspace.h"

#include <CLI/CLI.hpp>
#include <QGuiApplication>

#include <exception>
#include <iostream>
#include <map>

int main(int argc, char** argv) {
    using namespace corvanel;
    CLI::App app{"Writes a workspace of synthetic handwritten pages with ground truth and results.",
                 "corvanel-mkworkspace"};
    app.set_version_flag("--version", "corvanel-mkworkspace " CORVANEL_VERSION, "Print the version and exit");
    std::filesystem::path out;
    int pages = 5;
    synth::PageLayout layout;
    layout.style = synth::PageStyle::Handwriting;
    bool header = false;
    std::string participant;
    app.add_option("FOLDER", out, "Workspace folder to write (created if missing)")->required();
    app.add_option("--pages", pages, "Number of pages")->capture_default_str()->check(CLI::NonNegativeNumber);
    app.add_option("--width", layout.width, "Page width in pixels")->capture_default_str()->check(CLI::PositiveNumber);
    app.add_option("--height", layout.height, "Page height in pixels")->capture_default_str()->check(CLI::PositiveNumber);
    app.add_option("--lines", layout.lines, "Text lines per page")->capture_default_str()->check(CLI::PositiveNumber);
    app.add_option("--words-per-line", layout.wordsPerLine,
                   "Words per line (handwriting: sets the writing size, so lines hold about this many)")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--error-rate", layout.errorRate, "Share of words the result gets wrong")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--seed", layout.seed, "Seed; page p uses seed + p")->capture_default_str();
    const std::map<std::string, synth::PageStyle> styles{{"handwriting", synth::PageStyle::Handwriting},
                                                         {"glyphs", synth::PageStyle::Glyphs}};
    app.add_option("--style", layout.style,
                   "handwriting: text in handwriting fonts, one writer a page; "
                   "glyphs: pseudo-cursive loops in a strict grid")
        ->transform(CLI::CheckedTransformer(styles, CLI::ignore_case))
        ->default_str("handwriting");
    app.add_option("--participant", participant,
                   "Write the result to participants/NAME/ instead of results/")
        ->check([](const std::string& name) {
            return name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos
                       ? std::string("a participant's name is one folder name")
                       : std::string();
        });
    app.add_flag("--header", header, "Write label maps with the 8-byte width and height header");
    CLI11_PARSE(app, argc, argv);

    // Fonts and text need a QGuiApplication; this tool never shows a window,
    // and Qt's notes about the desktop session are not the user's concern.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type == QtCriticalMsg || type == QtFatalMsg) std::cerr << text.toStdString() << "\n";
    });
    int qtArgc = 1;
    QGuiApplication qt(qtArgc, argv);
    try {
        synth::writeWorkspace(out, pages, layout, header, participant);
    } catch (const std::exception& e) {
        std::cerr << "corvanel-mkworkspace: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
