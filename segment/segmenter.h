#pragma once

// A baseline segmentation method: text lines from ink projection profiles
// taken in vertical bands and linked across the page, words from the gaps
// along each line. Plain C++, no Qt.

#include "eval/labelmap.h"

#include <cstddef>
#include <cstdint>

namespace corvanel::segment {

// A bilevel page as a caller holds it; the pixels are only read.
struct BilevelPage {
    enum class Packing {
        Bytes,  // one byte a pixel, ink where it is not 0
        Bits,   // one bit a pixel, most significant bit first, ink where the bit is 1
    };
    std::int32_t width = 0;
    std::int32_t height = 0;
    const std::uint8_t* pixels = nullptr;
    std::size_t stride = 0;  // bytes from one row to the next
    Packing packing = Packing::Bytes;
};

struct Segmentation {
    // Both width x height; 0 on paper, every ink pixel that was assigned
    // carries its line (1..lineCount) or word (1..wordCount, unique over the
    // page, each word's ink inside one line).
    LabelMap lines, words;
    std::int32_t lineCount = 0;
    std::int32_t wordCount = 0;
};

Segmentation segmentPage(const BilevelPage& page);

}  // namespace corvanel::segment
