// One 2500 x 3500 page of 30 lines evaluated from PAGE XML ground truth
// (read, drawn, its ink found from the page image, counted) against a .dat
// result, beside the same page from two .dat maps. The page image is the
// workspace's bilevel TIFF, or the same page as a grey JPEG, as scans come.

#include "formats/xml_writer.h"
#include "imaging/imagesize.h"
#include "run/runner.h"
#include "tools/workspace.h"

#include <QImage>

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace corvanel;

namespace {

struct Bench {
    Workspace dat, xml, xmlJpeg;
    std::string page, jpegPage;
    PageSize size;
};

const Bench& bench() {
    static const Bench made = [] {
        Bench b;
        const fs::path root = fs::temp_directory_path() / ("corvanel-formats-bench-" + std::to_string(::getpid()));
        synth::PageLayout layout;  // 2500 x 3500, 30 lines
        synth::writeWorkspace(root / "dat", 1, layout);
        b.dat = Workspace(root / "dat");
        b.page = b.dat.pages().front();
        b.size = *imaging::readImageSize(b.dat.pageImage(b.page));
        PageSize size = b.size;
        ReadResult lines = ReadGT(b.dat.mapPath(MapKind::GroundTruth, Level::Lines, b.page), false, size);
        RegionDocument doc;
        doc.lines = outlineRegions(lines.map(), "l");
        const std::string xml = writeRegionXml(RegionDocument::Format::Page, doc, {}, b.size, b.page, "2026-01-01T00:00:00");
        const fs::path stem = fs::path(b.page).stem();
        // The same result; ground truth as PAGE XML, beside the TIFF and beside a grey JPEG.
        for (const auto& [folder, image] : {std::pair{root / "xml", b.page}, {root / "jpeg", stem.string() + ".jpg"}}) {
            fs::create_directories(folder / "images");
            fs::create_directories(folder / "gt");
            fs::copy(root / "dat" / "results", folder / "results", fs::copy_options::recursive);
            std::ofstream(folder / "gt" / (stem.string() + ".xml")) << xml;
            if (image == b.page) {
                fs::copy_file(b.dat.pageImage(b.page), folder / "images" / image);
            } else {
                QImage grey(QString::fromStdString(b.dat.pageImage(b.page).string()));
                grey.convertTo(QImage::Format_Grayscale8);
                grey.save(QString::fromStdString((folder / "images" / image).string()), "JPEG", 90);
                fs::rename(folder / "results" / "lines" / (b.page + ".dat"), folder / "results" / "lines" / (image + ".dat"));
            }
        }
        b.xml = Workspace(root / "xml");
        b.xmlJpeg = Workspace(root / "jpeg");
        b.jpegPage = stem.string() + ".jpg";
        return b;
    }();
    return made;
}

void evaluate(benchmark::State& state, const Workspace& ws, const std::string& page, PolygonPixels pixels) {
    RunSettings settings;
    settings.sources.pixels = pixels;
    settings.sources.greyPage = imaging::readGreyImage;
    for (auto _ : state) {
        const PageOutcome out = evaluatePage(ws, settings, page, bench().size);
        if (!out.evaluated) state.SkipWithError("not evaluated");
        benchmark::DoNotOptimize(out.evaluation.counts);
    }
}

void TwoDatMaps(benchmark::State& state) { evaluate(state, bench().dat, bench().page, PolygonPixels::Ink); }
void PageXmlWholePolygons(benchmark::State& state) {
    evaluate(state, bench().xml, bench().page, PolygonPixels::Region);
}
void PageXmlInkTiff(benchmark::State& state) { evaluate(state, bench().xml, bench().page, PolygonPixels::Ink); }
void PageXmlInkGreyJpeg(benchmark::State& state) {
    evaluate(state, bench().xmlJpeg, bench().jpegPage, PolygonPixels::Ink);
}

// The phases of the ink: decoding the page to grey, then its binarisation.
void DecodeGrey(benchmark::State& state, const Workspace& ws, const std::string& page) {
    for (auto _ : state) benchmark::DoNotOptimize(imaging::readGreyImage(ws.pageImage(page)));
}
void DecodeGreyTiff(benchmark::State& state) { DecodeGrey(state, bench().xml, bench().page); }
void DecodeGreyJpeg(benchmark::State& state) { DecodeGrey(state, bench().xmlJpeg, bench().jpegPage); }
void FindInk(benchmark::State& state) {
    const GreyImage grey = std::get<GreyImage>(imaging::readGreyImage(bench().xmlJpeg.pageImage(bench().jpegPage)));
    const GreyPage page{grey.pixels.data(), grey.width, grey.height, static_cast<std::size_t>(grey.width)};
    for (auto _ : state) benchmark::DoNotOptimize(findInk(page));
}

BENCHMARK(DecodeGreyTiff)->Unit(benchmark::kMillisecond);
BENCHMARK(DecodeGreyJpeg)->Unit(benchmark::kMillisecond);
BENCHMARK(FindInk)->Unit(benchmark::kMillisecond);
BENCHMARK(TwoDatMaps)->Unit(benchmark::kMillisecond);
BENCHMARK(PageXmlWholePolygons)->Unit(benchmark::kMillisecond);
BENCHMARK(PageXmlInkTiff)->Unit(benchmark::kMillisecond);
BENCHMARK(PageXmlInkGreyJpeg)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    keepLargeBlocksForReuse();  // as the programs do
    benchmark::Initialize(&argc, argv);
    bench();
    benchmark::RunSpecifiedBenchmarks();
    std::error_code ec;
    fs::remove_all(bench().dat.root().parent_path(), ec);
    return 0;
}
