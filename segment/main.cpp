// corvanel-segment: segments every page image of a workspace into text lines
// and words with the baseline method of segmenter.h and writes the label maps
// a participant hands in, or one PAGE XML or ALTO file a page.

#include "formats/ink.h"
#include "formats/xml_writer.h"
#include "imaging/imagesize.h"
#include "run/files.h"
#include "run/workspace.h"
#include "segment/segmenter.h"

#include "corvanel_version.h"

#include <CLI/CLI.hpp>

#include <QImage>
#include <QImageReader>

#include <algorithm>
#include <cctype>
#include <exception>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace corvanel;

enum ExitCode : int { kSuccess = 0, kPageFailed = 1, kBadArguments = 2 };

enum class Format { Dat, Page, Alto };

struct Options {
    fs::path root;
    std::optional<std::string> participant;
    Format format = Format::Dat;
    Workspace workspace;  // the checked root
};

std::optional<int> parse(int argc, char** argv, Options& o) {
    CLI::App app{
        "Segments every page image of WORKSPACE/images into text lines and words and writes the result\n"
        "to WORKSPACE/results/ (or WORKSPACE/participants/NAME/), where corvanel-eval looks for it.\n"
        "For the image IMAGE (file name with extension, STEM without) it writes, with --format\n"
        "  dat         lines/IMAGE.dat and words/IMAGE.dat, label maps;\n"
        "  page, alto  STEM.xml, a PAGE XML or ALTO file holding both levels: each line and word as a\n"
        "              polygon with a baseline, ids l<label> and w<label>, each word inside its line.\n"
        "corvanel-eval refuses a page with two results, so once a page's new file is written, the page's\n"
        "result in the other format (an earlier run's) is removed: its two .dat maps, or its STEM.xml.\n"
        "A PNG label image lines/IMAGE.png or words/IMAGE.png, which this program never writes, is left\n"
        "alone and its page refused, nothing written for it; with page or alto, so are two images that\n"
        "share a STEM.\n"
        "Exit status: 0 every page written, 1 a page failed, 2 bad arguments.",
        "corvanel-segment"};
    app.add_option("WORKSPACE", o.root, "Folder holding images/")->type_name("FOLDER")->required();
    app.add_option("--participant", o.participant,
                   "Write to WORKSPACE/participants/NAME/ instead of WORKSPACE/results/")
        ->type_name("NAME");
    std::string format = "dat";
    app.add_option("--format", format,
                   "dat: two label maps a page; page: a PAGE XML file a page; alto: an ALTO file a page")
        ->type_name("dat|page|alto")
        ->capture_default_str();
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
    const std::map<std::string, Format> formats{{"dat", Format::Dat}, {"page", Format::Page}, {"alto", Format::Alto}};
    std::transform(format.begin(), format.end(), format.begin(), [](unsigned char c) { return std::tolower(c); });
    const auto chosen = formats.find(format);
    if (chosen == formats.end()) return refuse("--format takes dat, page or alto (it is '" + format + "')");
    o.format = chosen->second;
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
// colour is the dark one); anything else is binarised as the evaluator
// finds a page's ink.
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
    // Grey and colour scans: the evaluator's own binarisation, so a result
    // labels the ink the page's ground truth is counted on.
    const std::optional<GreyImage> grey = imaging::greyImageOf(std::move(image));
    if (!grey) throw std::bad_alloc();
    const InkMask ink = findInk({grey->pixels.data(), grey->width, grey->height, static_cast<std::size_t>(grey->width)});
    return segment::segmentPage({grey->width, grey->height, ink.ink.data(), static_cast<std::size_t>(grey->width),
                                 segment::BilevelPage::Packing::Bytes});
}

std::optional<std::string> writeXml(const fs::path& path, Format format, const segment::Segmentation& result,
                                    const std::string& imageName) {
    RegionDocument doc;
    doc.lines = outlineRegions(result.lines, "l");
    doc.words = outlineRegions(result.words, "w");
    const auto kind = format == Format::Alto ? RegionDocument::Format::Alto : RegionDocument::Format::Page;
    return writeWholeFile(path, writeRegionXml(kind, doc, lineOfEachWord(result.lines, result.words),
                                               result.lines.size(), imageName));
}

fs::path xmlIn(const fs::path& root, const std::string& name) {
    return root / (fs::path(name).stem().string() + ".xml");
}

bool there(const fs::path& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

int run(const Options& o) {
    const Workspace& ws = o.workspace;
    const fs::path root = o.participant ? ws.participantFolder(*o.participant) : ws.defaultResultsFolder();
    const bool xml = o.format != Format::Dat;
    std::vector<fs::path> folders{root};
    if (!xml) folders = {Workspace::levelFolder(root, Level::Lines), Workspace::levelFolder(root, Level::Words)};
    for (const fs::path& dir : folders) {
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (!fs::is_directory(dir, ec)) {
            std::cerr << "corvanel-segment: cannot create the folder " << printableName(dir.string()) << "\n";
            return kPageFailed;
        }
    }
    // Images sharing a stem would share one .xml, which corvanel-eval would
    // score as the result of each.
    std::map<fs::path, std::vector<std::string>> byXml;
    if (xml)
        for (const std::string& name : ws.pages())
            if (imaging::readImageSize(ws.pageImage(name))) byXml[xmlIn(root, name)].push_back(name);
    int failed = 0, done = 0;
    for (const std::string& name : ws.pages()) {
        const auto fail = [&](const std::string& why) {
            std::cerr << "corvanel-segment: " << printableName(name) << ": " << printableName(why) << "\n";
            ++failed;
        };
        try {
            const fs::path xmlPath = xmlIn(root, name);
            if (const auto shared = byXml.find(xmlPath); shared != byXml.end() && shared->second.size() > 1) {
                fail("its result would be " + xmlPath.string() + ", as that of " +
                     (shared->second.front() == name ? shared->second[1] : shared->second.front()) +
                     ": rename one of the images");
                continue;
            }
            // Not ours to remove, and it would make the page's result two.
            std::optional<fs::path> foreign;
            for (const Level level : {Level::Lines, Level::Words})
                if (const fs::path png = Workspace::levelFolder(root, level) / (name + ".png"); !foreign && there(png))
                    foreign = png;
            if (foreign) {
                fail(foreign->string() + " is a result of this page too; corvanel-eval refuses two, remove it first");
                continue;
            }
            auto loaded = load(ws.pageImage(name));
            if (!loaded) continue;
            if (!loaded->problem.empty()) {
                fail(loaded->problem);
                continue;
            }
            const segment::Segmentation result = segment(std::move(loaded->image));
            const fs::path datPaths[] = {Workspace::mapIn(root, Level::Lines, name),
                                         Workspace::mapIn(root, Level::Words, name)};
            bool written = true;
            if (xml) {
                if (auto problem = writeXml(xmlPath, o.format, result, name)) {
                    fail("cannot write " + xmlPath.string() + ": " + *problem);
                    written = false;
                }
            } else {
                for (const auto& [path, map] : {std::pair{datPaths[0], &result.lines}, {datPaths[1], &result.words}})
                    if (written)
                        if (auto problem = writeLabelMap(path, *map)) {
                            fail("cannot write " + path.string() + ": " + *problem);
                            written = false;
                        }
            }
            if (!written) continue;
            // Only after the new result is whole, so a failed write leaves the old one.
            std::vector<fs::path> stale{xmlPath};
            if (xml) stale = {datPaths[0], datPaths[1]};
            for (const fs::path& path : stale) {
                std::error_code ec;
                fs::remove(path, ec);
                if (ec) {
                    fail("cannot remove the earlier result " + path.string() + ": " + ec.message());
                    written = false;
                }
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
