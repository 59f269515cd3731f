// corvanel-segment: segments every page image of a workspace into text lines
// and words with the baseline method of segmenter.h and writes the label maps
// a participant hands in.

#include "imaging/imagesize.h"
#include "run/files.h"
#include "run/workspace.h"
#include "segment/segmenter.h"

#include "corvanel_version.h"

#include <CLI/CLI.hpp>

#include <QImage>
#include <QImageReader>

#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace corvanel;

enum ExitCode : int { kSuccess = 0, kPageFailed = 1, kBadArguments = 2 };

struct Options {
    fs::path root;
    std::optional<std::string> participant;
    Workspace workspace;  // the checked root
};

std::optional<int> parse(int argc, char** argv, Options& o) {
    CLI::App app{"Segments every page image of WORKSPACE/images into text lines and words and writes the\n"
                 "label maps to WORKSPACE/results/{lines,words}/ (or WORKSPACE/participants/NAME/...).",
                 "corvanel-segment"};
    app.add_option("WORKSPACE", o.root, "Folder holding images/")->type_name("FOLDER")->required();
    app.add_option("--participant", o.participant,
                   "Write to WORKSPACE/participants/NAME/{lines,words}/ instead of WORKSPACE/results/")
        ->type_name("NAME");
    app.set_version_flag("--version", "corvanel-segment " CORVANEL_VERSION, "Print the version and exit");
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {  // --help, --version
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kBadArguments;
    }
    const auto refuse = [](const std::string& why) {
        std::cerr << "corvanel-segment: " << printableName(why) << "\n";
        return kBadArguments;
    };
    if (o.participant && (o.participant->empty() || *o.participant == "." || *o.participant == ".." ||
                          o.participant->find('/') != std::string::npos))
        return refuse("--participant takes a folder name, without '/' (it is '" + *o.participant + "')");
    auto opened = Workspace::open(o.root);
    if (const auto* why = std::get_if<std::string>(&opened)) return refuse(*why);
    o.workspace = std::get<Workspace>(std::move(opened));
    return std::nullopt;
}

// The page's ink, or why it cannot be read; nullopt without a reason when
// the file is no image at all (a note beside the pages).
struct Loaded {
    QImage image;
    std::string problem;
};

std::optional<Loaded> load(const fs::path& path) {
    QString why;
    const auto file = imaging::openImageFile(path, &why);
    if (!file) return Loaded{{}, "cannot open the image: " + why.toStdString()};
    QImageReader reader;
    imaging::prepareReader(reader, *file, path);
    if (!reader.canRead()) {
        QByteArray suffix = QByteArray::fromStdString(path.extension().string()).toLower();
        if (suffix.startsWith('.')) suffix.remove(0, 1);
        if (!QImageReader::supportedImageFormats().contains(suffix)) return std::nullopt;
        return Loaded{{}, "not a readable image"};
    }
    QImage image = reader.read();
    if (image.isNull()) return Loaded{{}, "cannot read the image: " + reader.errorString().toStdString()};
    return Loaded{std::move(image), {}};
}

// Ink is dark. A two-colour image keeps its bits (flipped when its first
// colour is the dark one); anything else goes through grey levels.
segment::Segmentation segment(QImage image) {
    if (image.format() == QImage::Format_MonoLSB) image = image.convertToFormat(QImage::Format_Mono);
    if (image.format() == QImage::Format_Mono && image.colorCount() == 2) {
        const bool darkOne = qGray(image.color(1)) < 128, darkZero = qGray(image.color(0)) < 128;
        if (darkOne != darkZero) {
            if (darkZero) {
                const auto bytes = static_cast<std::size_t>(image.bytesPerLine());
                for (int y = 0; y < image.height(); ++y) {
                    uchar* row = image.scanLine(y);
                    for (std::size_t i = 0; i < bytes; ++i) row[i] = static_cast<uchar>(~row[i]);
                }
            }
            return segment::segmentPage({image.width(), image.height(), image.constBits(),
                                         static_cast<std::size_t>(image.bytesPerLine()),
                                         segment::BilevelPage::Packing::Bits});
        }
    }
    const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
    const auto width = static_cast<std::size_t>(grey.width());
    std::vector<std::uint8_t> ink(width * static_cast<std::size_t>(grey.height()));
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* row = grey.constScanLine(y);
        for (std::size_t x = 0; x < width; ++x) ink[static_cast<std::size_t>(y) * width + x] = row[x] < 128;
    }
    return segment::segmentPage(
        {grey.width(), grey.height(), ink.data(), width, segment::BilevelPage::Packing::Bytes});
}

// Label maps lie on disk as in memory (the engine builds only on
// little-endian machines).
std::optional<std::string> writeMap(const fs::path& path, const LabelMap& map) {
    return writeWholeFile(path, {reinterpret_cast<const char*>(map.data()), map.pixelCount() * sizeof(std::int32_t)});
}

int run(const Options& o) {
    const Workspace& ws = o.workspace;
    const fs::path root = o.participant ? ws.participantFolder(*o.participant) : ws.defaultResultsFolder();
    for (const fs::path& dir : {Workspace::levelFolder(root, Level::Lines), Workspace::levelFolder(root, Level::Words)}) {
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (!fs::is_directory(dir, ec)) {
            std::cerr << "corvanel-segment: cannot create the folder " << printableName(dir.string()) << "\n";
            return kPageFailed;
        }
    }
    int failed = 0, done = 0;
    for (const std::string& name : ws.pages()) {
        const auto fail = [&](const std::string& why) {
            std::cerr << "corvanel-segment: " << printableName(name) << ": " << printableName(why) << "\n";
            ++failed;
        };
        try {
            auto loaded = load(ws.pageImage(name));
            if (!loaded) continue;
            if (!loaded->problem.empty()) {
                fail(loaded->problem);
                continue;
            }
            const segment::Segmentation result = segment(std::move(loaded->image));
            bool written = true;
            for (const auto& [path, map] : {std::pair{Workspace::mapIn(root, Level::Lines, name), &result.lines},
                                            {Workspace::mapIn(root, Level::Words, name), &result.words}})
                if (written)
                    if (auto problem = writeMap(path, *map)) {
                        fail("cannot write " + path.string() + ": " + *problem);
                        written = false;
                    }
            if (!written) continue;
            ++done;
            std::cout << printableName(name) << ": " << result.lineCount << " lines, " << result.wordCount
                      << " words" << std::endl;
        } catch (const std::bad_alloc&) {
            fail("not enough memory to segment it");
        }
    }
    if (failed == 0 && done == 0)
        std::cerr << "corvanel-segment: no page images in " << printableName(ws.imagesFolder().string())
                  << "\n";
    return failed == 0 ? kSuccess : kPageFailed;
}

}  // namespace

int main(int argc, char** argv) {
    imaging::quietImageLibraries();
    try {
        Options options;
        if (const auto stop = parse(argc, argv, options)) return *stop;
        return run(options);
    } catch (const std::exception& e) {
        std::cerr << "corvanel-segment: " << e.what() << "\n";
        return kPageFailed;
    }
}
