// QiRasterInterface: observer of an output raster.
//
// The raster keeps the pointer it is given (not owned) so the owner can be
// told that the raster changed; the base raster itself never calls it.
#pragma once

class QiRasterInterface {
public:
    virtual ~QiRasterInterface() = default;
    // Tells the owner that the raster changed.
    virtual bool update() = 0;
};
