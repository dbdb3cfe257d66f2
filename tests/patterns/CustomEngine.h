// An engine on a raster and data folder of the test's choosing (a raster with a
// right-eye image, a data folder with image files), and a scratch data folder
// that carries the build's fonts.
#pragma once

#include "PatternEngine.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>

namespace patterntest {

// A data folder under /tmp with the build's fonts linked in and an empty
// "ImageFiles"; removed with everything in it when the object goes.
class ScratchDataFolder {
public:
    ScratchDataFolder() {
        char name[] = "/tmp/kb-patterns-XXXXXX";
        if (mkdtemp(name)) path = name;
        EXPECT_FALSE(path.empty());
        EXPECT_EQ(symlink((dataFolder() + "/datafiles").c_str(), (path + "/datafiles").c_str()), 0);
        EXPECT_EQ(system(("mkdir -p '" + images() + "'").c_str()), 0);
    }
    ~ScratchDataFolder() {
        if (!path.empty()) {
            EXPECT_EQ(system(("rm -rf '" + path + "'").c_str()), 0);
        }
    }
    ScratchDataFolder(const ScratchDataFolder&) = delete;
    ScratchDataFolder& operator=(const ScratchDataFolder&) = delete;

    std::string images() const { return path + "/ImageFiles"; }

    std::string path;
};

// Owns `raster`; the engine is made after the test has put its files in place.
template <class Raster> class CustomEngine {
public:
    CustomEngine(Raster* r, const std::string& data)
        : raster(r), core(new MtCore(r, nullptr, data.c_str())) {}
    ~CustomEngine() {
        delete core;
        delete raster;
    }
    CustomEngine(const CustomEngine&) = delete;
    CustomEngine& operator=(const CustomEngine&) = delete;

    void run(const QiArgRetVal& req) { runOn(core, req); }

    // Pixel (x, y) of the drawn raster as code values.
    Rgb at(int x, int y) const { return pixel(raster, x, y); }
    static Rgb pixel(const QiImage* image, int x, int y) { return pixelAt(image, x, y); }

    Raster* raster;
    MtCore* core;
};

} // namespace patterntest
