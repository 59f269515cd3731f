// A page evaluated from its two files, streamed and read whole, against the
// same maps in memory. Page sizes lie around the reader's slice; the maps may
// carry headers (of different sizes), negative labels, or be cut short.
// Input: a byte of flags, a byte picking the size, a byte saying how much to
// cut, then the bytes the labels are drawn from.

#include "eval/evaluate.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/map_builder.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using namespace corvanel;

namespace {

// Around 65536 labels, the slice a map is read in, and a few small pages.
constexpr std::array<PageSize, 8> kSizes{
    PageSize{1, 1}, {3, 5}, {16, 1}, {17, 1}, {255, 257}, {256, 256}, {65537, 1}, {5, 26215}};

std::string encode(const std::vector<std::int32_t>& labels, std::optional<PageSize> header, std::size_t cut) {
    std::string bytes = testing::labelMapBytes(labels, header);
    bytes.resize(bytes.size() - std::min(cut, bytes.size()));
    return bytes;
}

bool sameFailures(const std::vector<Failure>& a, const std::vector<Failure>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].kind != b[i].kind || a[i].side != b[i].side || toolLine(a[i]) != toolLine(b[i])) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::uint8_t flags = data[0];
    const bool header = flags & 1, gtNegative = flags & 2, rsNegative = flags & 4, diagnose = flags & 32;
    const bool otherShape = flags & 64;  // the result's header gives the page the other way round
    const PageSize page = kSizes[data[1] % kSizes.size()];
    const std::size_t gtCut = (flags & 8) ? 1 + data[2] : 0, rsCut = (flags & 16) ? 1 + data[2] : 0;
    const std::uint8_t* pool = data + 3;
    const std::size_t poolSize = size - 3;

    const std::size_t n = static_cast<std::size_t>(page.width) * static_cast<std::size_t>(page.height);
    std::vector<std::int32_t> gt(n), rs(n);
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint8_t a = pool[k % poolSize], b = pool[(k * 7 + 3) % poolSize];
        gt[k] = gtNegative && a == 0xFF ? -1 - (a & 3) : a % 8;
        rs[k] = rsNegative && b == 0xFE ? -7 : b % 6;
    }
    const PageSize rsShape = otherShape ? PageSize{page.height, page.width} : page;
    static const fuzz::ScratchFile gtFile("files-gt.dat"), rsFile("files-rs.dat");
    const std::string gtBytes = encode(gt, header ? std::optional(page) : std::nullopt, gtCut);
    const std::string rsBytes = encode(rs, header ? std::optional(rsShape) : std::nullopt, rsCut);
    gtFile.write(reinterpret_cast<const std::uint8_t*>(gtBytes.data()), gtBytes.size());
    rsFile.write(reinterpret_cast<const std::uint8_t*>(rsBytes.data()), rsBytes.size());

    PageRequest request;
    request.pageName = "p.tif";
    request.gtMap = gtFile.path();
    request.rsMap = rsFile.path();
    request.readHeader = header;
    request.size = header ? PageSize{1, 1} : page;
    request.threshold = 1 + data[2] % 100;
    request.diagnose = diagnose;
    request.sweep = {50, 90};
    const PageEvaluation streamed = EvaluatePage(request);
    request.keepMaps = true;  // the maps read whole, one after the other
    const PageEvaluation whole = EvaluatePage(request);

    CORVANEL_FUZZ_CHECK(streamed.success == whole.success);
    CORVANEL_FUZZ_CHECK(sameFailures(streamed.failures, whole.failures));
    if (!streamed.success) {
        CORVANEL_FUZZ_CHECK(!streamed.failures.empty());
        return 0;
    }
    CORVANEL_FUZZ_CHECK(streamed.counts == whole.counts && streamed.sweep == whole.sweep);
    CORVANEL_FUZZ_CHECK(streamed.size == page && whole.size == page);
    CORVANEL_FUZZ_CHECK(static_cast<bool>(streamed.diagnosis) == diagnose);
    // Sound and whole, the files hold what the maps in memory hold.
    LabelMap gtMap(page.width, page.height), rsMap(page.width, page.height);
    std::copy(gt.begin(), gt.end(), gtMap.data());
    std::copy(rs.begin(), rs.end(), rsMap.data());
    const PageEvaluation memory = evaluateMaps(gtMap, rsMap, request.threshold, Weights{}, false, request.sweep);
    CORVANEL_FUZZ_CHECK(memory.success && memory.counts == streamed.counts && memory.sweep == streamed.sweep);
    return 0;
}
