#include "evaluate.h"
#include <gtest/gtest.h>
using namespace corvanel;
TEST(Smoke, IdenticalMaps) {
    LabelMap a(4, 2), b(4, 2);
    int32_t v[] = {1, 1, 0, 2, 1, 0, 2, 2};
    int32_t w[] = {5, 5, 0, 9, 5, 0, 9, 9};
    std::copy(v, v + 8, a.data());
    std::copy(w, w + 8, b.data());
    auto e = evaluateMaps(a, b, 90, Weights{}, true);
    EXPECT_TRUE(e.success);
    EXPECT_EQ(e.counts.one2one, 2);
    EXPECT_EQ(e.rates.drText, "100.0%");
    EXPECT_EQ(e.reportRow, "100.00\t100.00\t100.00\t2\t2\t2\t");
}
