// corvanel-eval's Qt side, built as the module corvanel-eval-qt.so (and
// linked straight into the tests and benchmarks): see qt_parts.h.

#include "qt_parts.h"

#include "errorview.h"
#include "imagesize.h"
#include "tables.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>

#include <algorithm>
#include <memory>

namespace corvanel::cli {

namespace {

namespace fs = std::filesystem;

// Writes the page's error view into `folder`, whole or not at all; the
// reason when it could not. The maps are read again, slice by slice, to
// paint it with the evaluation's diagnosis.
std::optional<std::string> writeErrorImage(const fs::path& folder, const RunSettings& s, const fs::path& pageImage,
                                           Level level, const PageEvaluation& e) {
    const fs::path target = folder / imaging::errorImageName(pageImage.filename().string(), level);
    const auto failed = [&](const std::string& why) { return "Cannot write the error image " + target.string() + ": " + why; };
    // Without the page picture the regions are painted all the same.
    QImage page;
    if (const std::unique_ptr<QFile> file = imaging::openImageFile(pageImage)) {
        QImageReader reader;
        imaging::prepareReader(reader, *file, pageImage);
        reader.setAutoTransform(false);
        page = reader.read();
    }
    imaging::ErrorViewPainter painter(page, e.size, *e.diagnosis);
    auto gtOpened = LabelMapFile::open(labelMapPath(s.workspace, MapKind::GroundTruth, level, pageImage), s.readHeader, e.size);
    auto rsOpened = LabelMapFile::open(labelMapPath(s.workspace, MapKind::Result, level, pageImage), s.readHeader, e.size);
    for (auto* opened : {&gtOpened, &rsOpened})
        if (const auto* error = std::get_if<ReadError>(opened)) return failed(error->message);
    auto& gt = std::get<LabelMapFile>(gtOpened);
    auto& rs = std::get<LabelMapFile>(rsOpened);
    if (const auto error = readInStep(gt, rs, [&](const std::int32_t* g, const std::int32_t* r, std::size_t n) {
            painter.add(g, r, n);
        }))
        return failed(error->message);
    const QImage view = painter.finish();
    if (view.isNull()) return failed("not enough memory");
    QBuffer png;
    png.open(QIODevice::WriteOnly);
    QImageWriter writer(&png, "png");
    writer.setQuality(kErrorImageQuality);
    if (!writer.write(view)) return failed(writer.errorString().toStdString());
    // Written by its own bytes, so a name that is not UTF-8 stays as it is.
    if (const auto why = writeWhole(target, std::string_view(png.data().constData(), static_cast<std::size_t>(png.data().size()))))
        return failed(*why);
    return std::nullopt;
}

}  // namespace

}  // namespace corvanel::cli

extern "C" __attribute__((visibility("default"))) const corvanel::cli::QtParts* corvanel_eval_qt_parts() {
    using namespace corvanel;
    static const cli::QtParts parts = [] {
        imaging::quietImageLibraries();
        return cli::QtParts{imaging::readImageSizeWithQt, cli::writeErrorImage, cli::writePlot, imaging::loadImagePlugins};
    }();
    return &parts;
}
