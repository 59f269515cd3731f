// corvanel-eval's Qt side, built as the module corvanel-eval-qt.so (and
// linked straight into the tests and benchmarks): see qt_parts.h.

#include "cli/qt_parts.h"

#include "cli/plot.h"
#include "imaging/errorview.h"
#include "imaging/imagesize.h"
#include "run/writers.h"

#include <QBuffer>
#include <QFile>
#include <QGuiApplication>
#include <QImageReader>
#include <QImageWriter>

#include <memory>

namespace corvanel::cli {

namespace {

namespace fs = std::filesystem;

// Paints the page's error view from the maps it was evaluated from, read
// again slice by slice, and writes it whole or not at all.
std::optional<Failure> writeErrorImage(const ErrorImageRequest& r) {
    const fs::path target = r.target();
    const auto failed = [&](std::string why) {
        return Failure{FailureKind::Output, target, {}, {}, "error image", std::move(why)};
    };
    // Without the page picture the regions are painted all the same.
    QImage page;
    if (const std::unique_ptr<QFile> file = imaging::openImageFile(r.page)) {
        QImageReader reader;
        imaging::prepareReader(reader, *file, r.page);
        reader.setAutoTransform(false);
        page = reader.read();
    }
    const PageEvaluation& e = *r.evaluation;
    imaging::ErrorViewPainter painter(page, e.size, *e.diagnosis);
    if (const auto error = readPagePixels(*r.pixels, [&](const std::int32_t* g, const std::int32_t* x, std::size_t n) {
            painter.add(g, x, n);
            return true;
        }))
        return failed(toolLine(*error));
    // A picture for a page of its own: what it shows, and what each colour means.
    // The application is made on the main thread (prepareMainThread); a worker cannot make it.
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr)
        return failed("text needs a QGuiApplication, made on the main thread first");
    const QString caption = QString::fromStdString(printableName(r.page.filename().string()) + " \u2014 " +
                                                   printableName(r.participant) + ", " + levelName(r.level) +
                                                   ", threshold " + std::to_string(r.threshold) + "%");
    const QImage view = imaging::withLegend(painter.finish(), imaging::statusCounts(*e.diagnosis), caption);
    if (view.isNull()) return failed("not enough memory");
    const auto write = [&](const QImage& picture, const fs::path& file) -> std::optional<Failure> {
        QBuffer png;
        png.open(QIODevice::WriteOnly);
        QImageWriter writer(&png, "png");
        writer.setQuality(kErrorImageQuality);
        if (!writer.write(picture)) return failed(writer.errorString().toStdString());
        // Written by its own bytes, so a name that is not UTF-8 stays as it is.
        const QByteArray& bytes = png.data();
        return writeOutput("error image", file,
                           std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    };
    if (auto failure = write(view, target)) return failure;
    if (r.thumbnail) return write(view.scaledToHeight(kThumbnailHeight, Qt::SmoothTransformation), r.thumbnailTarget());
    return std::nullopt;
}

// On the main thread before the workers: they decode images with Qt's
// plugins and write error images' text, which needs an application object.
void prepareMainThread() {
    keepGuiApplication();
    imaging::loadImagePlugins();
}

}  // namespace

}  // namespace corvanel::cli

extern "C" __attribute__((visibility("default"))) const corvanel::cli::QtParts* corvanel_eval_qt_parts() {
    using namespace corvanel;
    static const cli::QtParts parts = [] {
        imaging::quietImageLibraries();
        return cli::QtParts{imaging::readImageSizeWithQt, cli::writeErrorImage, cli::writePlot,
                             cli::prepareMainThread, imaging::readGreyImage};
    }();
    return &parts;
}
