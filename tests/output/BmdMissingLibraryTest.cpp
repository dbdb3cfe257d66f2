// The DeckLink back-end when the DeckLink library cannot be loaded.
#include "BmdRaster.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

TEST(BmdMissingLibrary, StartFailsAsWithoutDrivers) {
    testsupport::ScopedCapture capture;
    EXPECT_FALSE(IsDeckLinkAPIPresent());
    EXPECT_EQ(CreateDeckLinkIteratorInstance(), nullptr);
    EXPECT_EQ(CreateDeckLinkDiscoveryInstance(), nullptr);
    BmdRaster raster(true);
    EXPECT_FALSE(raster.init());
    std::vector<std::string> lines = capture.out->take();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "Minutiae: This application requires the DeckLink drivers installed.\n"),
              lines.end());
    EXPECT_EQ(raster.output, nullptr);
}
