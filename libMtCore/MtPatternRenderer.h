// MtPatternRenderer: the interface of every test pattern.
//
// Built-in patterns and the renderers that plug-ins supply derive from this
// class. The engine registers a renderer under its name, lets it initialise
// itself once, asks it to render a command's arguments into the output raster,
// publishes its option descriptors to clients and reads its frame period to
// animate it. A renderer is created once and lives for the whole process.
//
// A concrete constructor runs the base constructor, then points `options` at
// its static, null-terminated list of descriptors (whose names are exactly the
// keys `render` reads) and sets `revision`.
//
// Renderers come from plug-ins too, so the engine must not trust the raw
// members. It reads them only through the accessors below, which give safe
// values for whatever a renderer supplies:
//   getSafeName()  getName(), or "" when that is null;
//   getOptions()   `options`, or a list holding only the null entry when null;
//   getRevision()  `revision`, or "" when null;
//   getPeriod()    `period`, limited to kMaxFramePeriodMs, so the render loop's
//                  deadline arithmetic cannot overflow or spin.
//
// Threads: render() runs only on the render thread; initialize() on the
// thread that registers the renderer; getName() and getOptions() are also
// called from the threads that serve clients and only read constant data.
#pragma once

#include "QiArgRetVal.h"
#include "QiOption.h"

#include <cstdint>

class MtCore;
class QiRaster;

class MtPatternRenderer {
public:
    // The longest frame period the engine honours: one minute.
    static constexpr uint64_t kMaxFramePeriodMs = 60 * 1000;

    // `options` null and `period` 0; the concrete constructor sets `options`
    // and `revision`.
    MtPatternRenderer();
    // Does nothing; the engine never destroys a registered renderer.
    virtual ~MtPatternRenderer();

    // The pattern's name: its registry key (matched ignoring case) and the
    // value clients put into "Pattern". Constant for the renderer's lifetime.
    virtual char const* getName() = 0;
    // Called exactly once, right after the renderer entered the registry.
    // Built-ins define their aliases here. The engine ignores the result.
    virtual bool initialize(MtCore* core) = 0;
    // Draws the picture for one command into `raster`, converts each of its
    // frames for the card, and sets `period` (milliseconds; 0 for a still
    // picture). Render thread only. The engine ignores the result.
    virtual bool render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) = 0;
    // A key sequence for the current pattern with its arguments, which the
    // renderer may change. The base does nothing and returns true.
    virtual bool onKey(char const* keys, QiArgRetVal& args);
    // The base does nothing.
    virtual void update();

    QiOption* const* getOptions() const;
    char const* getSafeName();
    char const* getRevision() const;
    uint64_t getPeriod() const;

    QiOption* const* options; // null-terminated; not owned
    char const* revision;     // e.g. "$Revision: 1.13 $"; not owned
    uint64_t period;          // frame period in milliseconds, 0 = still
};
