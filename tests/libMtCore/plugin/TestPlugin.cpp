// A pattern plug-in as a user would build one: it binds to the engine's
// classes in the program that loads it and brings its own option table.
#include "MtCore.h"
#include "QiRaster.h"

namespace {

QiOptInt optLevel("Level", "Grey level of the field, 8-bit code", 100, 0, 255,
                  defaultOptionUiSettings);
QiOption* pluginOptions[] = {&optLevel, nullptr};

class PluginGrey : public MtPatternRenderer {
public:
    PluginGrey() {
        options = pluginOptions;
        revision = "$Revision: 2.1 $";
    }
    const char* getName() override { return "PluginGrey"; }
    bool initialize(MtCore* core) override {
        QiArgRetVal args;
        args.set("Pattern", "PluginGrey");
        args.set("Level", "200");
        return core->addAlias("PluginGreyHigh", args);
    }
    bool render(MtCore*, QiRaster* raster, const QiArgRetVal& args) override {
        int level = 0;
        optLevel.getOption(args, level);
        raster->setFrames(1);
        raster->clear(raster->makeGrey(static_cast<uint64_t>(level) << (raster->bits - 8)));
        raster->render(0, false);
        period = 0;
        return true;
    }
};

} // namespace

extern "C" MtPatternRenderer* MtpMain(MtCore*) {
    return new PluginGrey;
}
