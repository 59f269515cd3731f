// corvanel-mkworkspace: writes a workspace of synthetic handwritten pages:
// images/ (black-and-white TIFF), the ground truth and an imperfect result
// at line and word level.

#include "workspace.h"

#include <CLI/CLI.hpp>

#include <exception>
#include <iostream>

int main(int argc, char** argv) {
    using namespace corvanel;
    CLI::App app{"Writes a workspace of synthetic handwritten pages with ground truth and results.",
                 "corvanel-mkworkspace"};
    std::filesystem::path out;
    int pages = 5;
    synth::PageLayout layout;
    bool header = false;
    app.add_option("FOLDER", out, "Workspace folder to write (created if missing)")->required();
    app.add_option("--pages", pages, "Number of pages")->capture_default_str()->check(CLI::NonNegativeNumber);
    app.add_option("--width", layout.width, "Page width in pixels")->capture_default_str()->check(CLI::PositiveNumber);
    app.add_option("--height", layout.height, "Page height in pixels")->capture_default_str()->check(CLI::PositiveNumber);
    app.add_option("--lines", layout.lines, "Text lines per page")->capture_default_str()->check(CLI::PositiveNumber);
    app.add_option("--words-per-line", layout.wordsPerLine, "Words per line")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--error-rate", layout.errorRate, "Share of words the result gets wrong")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--seed", layout.seed, "Seed; page p uses seed + p")->capture_default_str();
    app.add_flag("--header", header, "Write label maps with the 8-byte width and height header");
    CLI11_PARSE(app, argc, argv);
    try {
        synth::writeWorkspace(out, pages, layout, header);
    } catch (const std::exception& e) {
        std::cerr << "corvanel-mkworkspace: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
