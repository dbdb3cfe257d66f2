// HoldRenderer: a pattern whose render waits while the test holds it, so that
// the requests sent meanwhile queue up behind it. Once let go it converts the
// raster as it stands into frame 0.
#pragma once

#include "MtPatternRenderer.h"
#include "QiRaster.h"

#include <condition_variable>
#include <mutex>

namespace testsupport {

class HoldRenderer : public MtPatternRenderer {
public:
    explicit HoldRenderer(const char* name) : name_(name) { options = none; }
    const char* getName() override { return name_; }
    bool initialize(MtCore*) override { return true; }
    bool render(MtCore*, QiRaster* raster, const QiArgRetVal&) override {
        {
            std::unique_lock<std::mutex> lock(m);
            inside = true;
            cv.notify_all();
            cv.wait(lock, [this] { return !held; });
            inside = false;
        }
        raster->setFrames(1);
        return raster->render(0, false);
    }
    // The next render waits until release().
    void hold() {
        std::lock_guard<std::mutex> lock(m);
        held = true;
    }
    void waitInside() {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [this] { return inside; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(m);
        held = false;
        cv.notify_all();
    }

private:
    const char* name_;
    QiOption* none[1] = {nullptr};
    std::mutex m;
    std::condition_variable cv;
    bool held = false, inside = false;
};

} // namespace testsupport
