// Request sequences as a calibration client sends them, checked after every
// step against a small model of what the settings and the card must be: on
// the memory raster and on each simulated card.
//
// A sequence is seeded and bounded in steps and time. A step is a burst of
// operations run without waiting (SetGen requests, aliases defined and
// flushed, changes made on the card outside the engine), sometimes while a
// render holds the render thread, so that alias changes land between a
// selection and its render; then the queue is drained. A failing sequence is
// cut down to the shortest one that still fails, and printed.
#include "AjaKona.h"
#include "AjaStubControl.h"
#include "ArgSupport.h"
#include "BmdRaster.h"
#include "DeckLinkStubCard.h"
#include "HoldRenderer.h"
#include "KonaRaster.h"
#include "MemoryRaster.h"
#include "MtCore.h"
#include "QiCLocale.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace stub = decklinkstub;
using testsupport::text;

const char* const kLayouts[] = {"RGB_8", "RGB_10", "YCbCr_8", "YCbCr_10"};
const char* const kMatrices[] = {"Rec601",  "Rec601 (compressed)", "Rec709", "Rec709 (compressed)",
                                 "Rec2020", "Rec2020 (compressed)"};
const char* const kGenOptions[] = {"GatingColor_Red", "GatingColor_Green", "GatingColor_Blue",
                                   "GateRed",         "GateGreen",         "GateBlue",
                                   "VideoFormat",     "OutputTitling",     "OutputColor",
                                   "VideoMute",       "ColorEncoding"};

using testsupport::HoldRenderer;

HoldRenderer& holdRenderer() {
    static HoldRenderer* r = new HoldRenderer("TestHold"); // renderers live for the process
    return *r;
}

// ---------------------------------------------------------------- the cards

// One output under the engine, and what the test can see of it from the
// card's side.
class Card {
public:
    virtual ~Card() = default;
    virtual QiRaster& raster() = 0;
    // Formats a step names or sets on the card: cheap ones the card takes in every layout.
    virtual std::vector<std::string> choices() = 0;
    // The matrix a new format brings, from the current one.
    virtual int matrixFor(const std::string& format, int current) = 0;
    // Whether the card runs `format` in `layout`.
    virtual bool takes(const std::string&, int) { return true; }
    // Changes made on the card outside the engine; false when the card would
    // not take it as a change.
    virtual bool formatOutside(const std::string& format) = 0;
    virtual bool layoutOutside(int) { return false; }
    // The format (published name) and layout the card runs, and the frame it shows.
    virtual bool runs(const std::string& format, int layout, std::string& why) = 0;
    virtual std::vector<uint8_t> shown() = 0;
    // The raster coded now in the card's layout (the engine is idle).
    virtual std::vector<uint8_t> coded() = 0;
};

int sdMatrix(const std::string& format) {
    // ITU-R BT.601 in standard definition, BT.709 above.
    for (const char* sd : {"NTSC", "PAL", "(480i)", "(576i)"})
        if (format.find(sd) != std::string::npos) return 0;
    return 2;
}

class MemoryCard : public Card {
public:
    MemoryCard() {
        testsupport::MemoryRasterConfig c;
        c.formats = {{"1080p25", 96, 54}, {"1080p30", 96, 54}, {"720p50", 64, 36}, {"PAL", 72, 58}};
        c.keepShown = 1;
        r = std::make_unique<testsupport::MemoryRaster>(c);
    }
    QiRaster& raster() override { return *r; }
    std::vector<std::string> choices() override { return {"1080p25", "1080p30", "720p50", "PAL"}; }
    int matrixFor(const std::string&, int current) override { return current; }
    bool formatOutside(const std::string& format) override {
        return std::strcmp(r->getCurrentFormat(), format.c_str()) != 0 &&
               r->setRasterFormat(format.c_str());
    }
    bool runs(const std::string& format, int layout, std::string& why) override {
        const testsupport::MemoryFrame f = r->lastShown();
        const int shownLayout = f.layout == QiImageCoder::RGB_8     ? 0
                                : f.layout == QiImageCoder::RGB_10  ? 1
                                : f.layout == QiImageCoder::YCbCr_8 ? 2
                                                                    : 3;
        why = std::string("raster runs ") + r->getCurrentFormat() + ", last frame in " +
              kLayouts[shownLayout];
        return format == r->getCurrentFormat() && layout == shownLayout;
    }
    std::vector<uint8_t> shown() override { return r->lastShown().bytes; }
    std::vector<uint8_t> coded() override {
        r->render(0, false);
        return r->ringFrame(0).bytes;
    }
    std::unique_ptr<testsupport::MemoryRaster> r;
};

NTV2FrameBufferFormat ajaLayout(int layout) {
    const NTV2FrameBufferFormat f[] = {NTV2_FBF_ARGB, NTV2_FBF_10BIT_DPX, NTV2_FBF_8BIT_YCBCR,
                                       NTV2_FBF_10BIT_YCBCR};
    return f[layout];
}

int ajaLayoutIndex(NTV2FrameBufferFormat f) {
    switch (f) {
    case NTV2_FBF_10BIT_DPX:
        return 1;
    case NTV2_FBF_8BIT_YCBCR:
    case NTV2_FBF_8BIT_YCBCR_YUY2:
        return 2;
    case NTV2_FBF_10BIT_YCBCR:
        return 3;
    default:
        return 0;
    }
}

const KRdFormat* ajaRow(const std::string& name) {
    for (const KRdFormat& row : skAjaFormats)
        if (name == row.name) return &row;
    return nullptr;
}

class AjaCard : public Card {
public:
    AjaCard() {
        unsetenv("KB_AJASTUB_NO_CARD");
        ajastub::resetCard();
        r = std::make_unique<KonaRaster>(true);
        ok = r->init();
    }
    ~AjaCard() override {
        r.reset();
        ajastub::resetCard();
    }
    QiRaster& raster() override { return *r; }
    std::vector<std::string> choices() override {
        return {"525 59.94 (480i)", "625 50.00 (576i)", "720p 50.00", "1080i 50.00", "1080p 25.00"};
    }
    int matrixFor(const std::string& format, int) override { return sdMatrix(format); }
    bool formatOutside(const std::string& format) override {
        ajastub::AjaStubCard c = ajastub::card();
        const KRdFormat* row = ajaRow(format);
        if (!row || c.videoFormat[0] == row->videoFormat) return false;
        for (NTV2VideoFormat& v : c.videoFormat)
            v = static_cast<NTV2VideoFormat>(row->videoFormat);
        ajastub::setCard(c);
        return true;
    }
    bool layoutOutside(int layout) override {
        ajastub::AjaStubCard c = ajastub::card();
        if (ajaLayoutIndex(c.frameBufferFormat[0]) == layout) return false;
        c.frameBufferFormat[0] = ajaLayout(layout);
        ajastub::setCard(c);
        return true;
    }
    bool runs(const std::string& format, int layout, std::string& why) override {
        const ajastub::AjaStubCard c = ajastub::card();
        const KRdFormat* row = ajaRow(format);
        why = "card runs video format " + std::to_string(c.videoFormat[0]) +
              " with frame-buffer format " + std::to_string(c.frameBufferFormat[0]);
        return row && c.videoFormat[0] == row->videoFormat &&
               ajaLayoutIndex(c.frameBufferFormat[0]) == layout;
    }
    std::vector<uint8_t> shown() override { return ajastub::frame(ajastub::card().outputFrame[0]); }
    std::vector<uint8_t> coded() override {
        unsigned* host = nullptr;
        unsigned bytes = 0;
        if (!r->render(0, false) || !r->frameData(host, bytes, 0)) return {};
        const uint8_t* p = reinterpret_cast<const uint8_t*>(host);
        return std::vector<uint8_t>(p, p + bytes);
    }
    std::unique_ptr<KonaRaster> r;
    bool ok = false;
};

class DeckLinkCard : public Card {
public:
    DeckLinkCard() {
        unsetenv("KB_DECKLINK_STUB");
        stub::reset();
        stub::keepShownFrames(true);
        configured = mode("PAL");
        stub::setDefaultMode(configured);
        r = std::make_unique<BmdRaster>(true);
        ok = r->init();
    }
    ~DeckLinkCard() override {
        r.reset();
        stub::reset();
        stub::keepShownFrames(false);
    }
    QiRaster& raster() override { return *r; }
    std::vector<std::string> choices() override {
        return {"NTSC", "PAL", "HD 720p 50", "HD 1080i 50", "HD 1080p 25"};
    }
    int matrixFor(const std::string& format, int) override { return sdMatrix(format); }
    // No 10-bit RGB at 2160p above 30 Hz.
    bool takes(const std::string& format, int layout) override {
        if (layout != 1 || format.find("2160p") == std::string::npos) return true;
        return std::atof(format.c_str() + format.find("2160p") + 5) <= 30.0;
    }
    // The back-end follows the configured mode when the configuration changes.
    bool formatOutside(const std::string& format) override {
        const BMDDisplayMode m = mode(format);
        if (!m || m == configured || format == r->getCurrentFormat()) return false;
        configured = m;
        stub::setDefaultMode(m);
        return true;
    }
    bool runs(const std::string& format, int layout, std::string& why) override {
        BMDDisplayMode m = 0;
        const bool enabled = stub::outputEnabled(&m);
        const std::vector<stub::Frame> frames = stub::shownFrames();
        const BMDPixelFormat f = frames.empty() ? 0 : frames.back().format;
        const int shownLayout = f == bmdFormat10BitRGB   ? 1
                                : f == bmdFormat8BitYUV  ? 2
                                : f == bmdFormat10BitYUV ? 3
                                                         : 0;
        why = "card runs mode " + std::to_string(m) + ", last frame in " + kLayouts[shownLayout];
        const BMDDisplayMode expected = format == "720p 59.94" ? mode("HD 720p 60") : mode(format);
        return enabled && m == expected && !frames.empty() && frames.back().mode == m &&
               shownLayout == layout;
    }
    std::vector<uint8_t> shown() override {
        const std::vector<stub::Frame> frames = stub::shownFrames();
        return frames.empty() ? std::vector<uint8_t>() : frames.back().bytes;
    }
    std::vector<uint8_t> coded() override {
        unsigned char* bytes = nullptr;
        unsigned size = 0;
        if (!r->render(0, false) || !r->frameData(bytes, size, 0)) return {};
        return std::vector<uint8_t>(bytes, bytes + size);
    }
    static BMDDisplayMode mode(const std::string& name) {
        for (const stub::Mode& m : stub::defaultModes())
            if (m.name == name) return m.mode;
        return 0;
    }
    std::unique_ptr<BmdRaster> r;
    BMDDisplayMode configured = 0;
    bool ok = false;
};

// ------------------------------------------------------- steps and the model

struct Op {
    // FormatBack: a SetGen that names the format the engine stood at before
    // the card's last change outside it.
    enum Kind { SetGen, SetAlias, Flush, FormatOutside, LayoutOutside, FormatBack } kind;
    QiArgRetVal args;  // SetGen, SetAlias
    std::string value; // alias name, format
    int layout = 0;
};

struct Step {
    bool held = false; // the burst queues behind a held render
    std::vector<Op> ops;
};

std::string describe(const QiArgRetVal& m) {
    std::string s = "{";
    for (const auto& kv : m)
        s += (s.size() > 1 ? ", \"" : "\"") + kv.first + "\": \"" + kv.second + "\"";
    return s + "}";
}

std::string describe(const std::vector<Step>& steps) {
    std::ostringstream out;
    for (size_t i = 0; i < steps.size(); ++i) {
        out << "  step " << i + 1 << (steps[i].held ? " (behind a held render)" : "") << ":\n";
        for (const Op& op : steps[i].ops) {
            out << "    ";
            switch (op.kind) {
            case Op::SetGen:
                out << "SetGen " << describe(op.args);
                break;
            case Op::FormatBack:
                out << "SetGen " << describe(op.args)
                    << " with the VideoFormat the engine stood at before the card's change";
                break;
            case Op::SetAlias:
                out << "SetAlias " << op.value << " " << describe(op.args);
                break;
            case Op::Flush:
                out << "MMCAlias flush";
                break;
            case Op::FormatOutside:
                out << "card set to " << op.value << " outside the engine";
                break;
            case Op::LayoutOutside:
                out << "card set to " << kLayouts[op.layout] << " outside the engine";
                break;
            }
            out << "\n";
        }
    }
    return out.str();
}

// What the settings and the card must be after each command.
struct Model {
    std::vector<std::string> formats; // as published
    int format = 0, layout = 0, matrix = 0;
    int before = 0;       // the format before the last change made outside the engine
    bool outside = false; // the card's format changed outside since the last command
    bool titling = false, mute = false, gate[3] = {false, false, false};
    unsigned colour[3] = {0, 0, 0};
    unsigned top = 1023;
    QiArgRetVal current;
    std::map<std::string, QiArgRetVal> aliases;
    Card* card = nullptr;

    static bool isGenOption(const std::string& key) {
        for (const char* k : kGenOptions)
            if (key == k) return true;
        return false;
    }
    // A boolean option: "toggle" flips it, and the flipped value is kept.
    void readBool(QiArgRetVal& m, const char* key, bool& value) {
        const char* t = nullptr;
        if (!m.find(key, &t)) return;
        if (strncasecmp(t, "toggle", 6) == 0) {
            value = !value;
            m.set(key, value ? "true" : "false");
        } else {
            value = strncasecmp(t, "true", 4) == 0 || strncasecmp(t, "yes", 3) == 0 || t[0] == '1';
        }
    }
    // An enumeration: a name (any letter case), "toggle" to the next, else unchanged.
    static int readEnum(const char* t, int value, const std::vector<std::string>& names) {
        if (strcasecmp(t, "toggle") == 0) return (value + 1) % static_cast<int>(names.size());
        for (size_t i = 0; i < names.size(); ++i)
            if (strcasecmp(t, names[i].c_str()) == 0) return static_cast<int>(i);
        return value;
    }
    void setFormat(int f) {
        matrix = card->matrixFor(formats[f], matrix);
        format = f;
    }

    void setGen(const QiArgRetVal& request) {
        QiArgRetVal m, chosen;
        const char* pattern = request.Pattern();
        static const std::vector<std::string> patterns = {"Colorbars", "Color", "Checkerboard",
                                                          "TestHold"};
        bool known = false;
        if (pattern)
            for (const std::string& p : patterns)
                known = known || strcasecmp(p.c_str(), pattern) == 0;
        auto alias = pattern && !known ? aliases.find(pattern) : aliases.end();
        if (known || alias != aliases.end()) {
            m = request;
            if (alias != aliases.end()) m.merge(alias->second);
            chosen = m;
        } else {
            for (const auto& kv : request)
                if (!pattern || isGenOption(kv.first)) m.set(kv.first, kv.second);
            chosen = m;
            m.merge(current);
        }
        readBool(m, "OutputTitling", titling);
        readBool(m, "VideoMute", mute);
        readBool(m, "GateRed", gate[0]);
        readBool(m, "GateGreen", gate[1]);
        readBool(m, "GateBlue", gate[2]);
        const char* rgb[3] = {nullptr, nullptr, nullptr};
        if (m.find("GatingColor_Red", &rgb[0]) && m.find("GatingColor_Green", &rgb[1]) &&
            m.find("GatingColor_Blue", &rgb[2]))
            for (int i = 0; i < 3; ++i)
                colour[i] = std::min<unsigned>(
                    static_cast<unsigned>(std::strtoul(rgb[i], nullptr, 0) & 0xFFFFFFFFu), top);
        const std::vector<std::string> layouts(std::begin(kLayouts), std::end(kLayouts));
        const std::vector<std::string> matrices(std::begin(kMatrices), std::end(kMatrices));
        const char* t = nullptr;
        int asked = -1;
        if (chosen.find("OutputColor", &t)) asked = readEnum(t, layout, layouts);
        if (chosen.find("VideoFormat", &t)) {
            const int f = readEnum(t, format, formats);
            if (f != format) {
                // A format the running layout cannot go to, with a layout
                // asked for that it can: the layout first, then the format.
                if (!card->takes(formats[f], layout) && asked >= 0 && asked != layout &&
                    card->takes(formats[format], asked))
                    layout = asked;
                if (card->takes(formats[f], layout)) setFormat(f);
            }
        }
        if (asked >= 0 && card->takes(formats[format], asked)) layout = asked;
        if (chosen.find("ColorEncoding", &t)) matrix = readEnum(t, matrix, matrices);
        // The current arguments name the format that runs; one carried over
        // across a change made outside the engine is dropped.
        if (outside && !chosen.find("VideoFormat")) m.remove("VideoFormat");
        outside = false;
        if (m.find("VideoFormat")) m.set("VideoFormat", formats[format]);
        current = m;
    }

    // The settings GetGenOptions must report.
    QiArgRetVal settings() const {
        QiArgRetVal s;
        s.set("OutputColor", kLayouts[layout]);
        s.set("GatingColor_Red", qi::formatC("%u", colour[0]));
        s.set("GatingColor_Green", qi::formatC("%u", colour[1]));
        s.set("GatingColor_Blue", qi::formatC("%u", colour[2]));
        s.set("GateRed", gate[0] ? "1" : "0");
        s.set("GateGreen", gate[1] ? "1" : "0");
        s.set("GateBlue", gate[2] ? "1" : "0");
        s.set("OutputTitling", titling ? "1" : "0");
        s.set("VideoMute", mute ? "1" : "0");
        s.set("VideoFormat", formats[format]);
        s.set("ColorEncoding", kMatrices[matrix]);
        return s;
    }
};

// ---------------------------------------------------------------- a run

using CardFactory = std::function<std::unique_ptr<Card>()>;

// Runs the steps on a fresh card and engine; the first difference from the
// model, or "" when there is none.
std::string runSequence(const CardFactory& makeCard, const std::vector<Step>& steps) {
    testsupport::ScopedCapture quiet; // the engine's trace lines are not looked at
    std::unique_ptr<Card> card = makeCard();
    QiRaster& raster = card->raster();
    MtCore core(&raster, nullptr, testsupport::dataFolder().c_str());
    core.addPattern(&holdRenderer());
    core.removeAliasesByPrefix("mmc/");
    auto drain = [&] {
        bool result = false;
        core.waitForPattern(result, core.asyncSetGen(QiArgRetVal()));
    };
    QiArgRetVal first;
    first.set("Pattern", "Colorbars");
    core.asyncSetGen(first);
    drain();

    Model model;
    model.card = card.get();
    model.top = (1u << raster.bits) - 1;
    std::vector<QiArgRetVal> records;
    core.getGenOpts(records);
    if (records.size() != 14u) return "GetGenOptions gave " + std::to_string(records.size());
    for (int i = 0; i < std::atoi(text(records[4], "nVal").c_str()); ++i)
        model.formats.push_back(text(records[4], ("VideoFormat" + std::to_string(i)).c_str()));
    // The card's own choices at start.
    auto indexOf = [](const std::vector<std::string>& names, const std::string& name) {
        for (size_t i = 0; i < names.size(); ++i)
            if (names[i] == name) return static_cast<int>(i);
        return -1;
    };
    model.format = indexOf(model.formats, text(records[12], "VideoFormat"));
    model.layout =
        indexOf({std::begin(kLayouts), std::end(kLayouts)}, text(records[12], "OutputColor"));
    model.matrix =
        indexOf({std::begin(kMatrices), std::end(kMatrices)}, text(records[12], "ColorEncoding"));
    if (model.format < 0 || model.layout < 0 || model.matrix < 0) return "start state unknown";
    model.setGen(first);
    model.setGen(QiArgRetVal());

    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        if (step.held) {
            QiArgRetVal hold;
            hold.set("Pattern", "TestHold");
            holdRenderer().hold();
            core.asyncSetGen(hold);
            model.setGen(hold);
            holdRenderer().waitInside();
        }
        for (const Op& op : step.ops) {
            switch (op.kind) {
            case Op::SetGen:
            case Op::FormatBack: {
                QiArgRetVal request = op.args;
                if (op.kind == Op::FormatBack)
                    request.set("VideoFormat", model.formats[model.before]);
                core.asyncSetGen(request);
                model.setGen(request);
                break;
            }
            case Op::SetAlias:
                if (core.addAlias(op.value.c_str(), op.args)) model.aliases[op.value] = op.args;
                break;
            case Op::Flush:
                core.removeAliasesByPrefix("mmc/");
                model.aliases.clear();
                break;
            case Op::FormatOutside:
                if (card->formatOutside(op.value)) {
                    model.setFormat(indexOf(model.formats, op.value));
                    model.outside = true;
                }
                break;
            case Op::LayoutOutside:
                if (card->layoutOutside(op.layout)) model.layout = op.layout;
                break;
            }
        }
        if (step.held) holdRenderer().release();
        drain();
        model.setGen(QiArgRetVal());

        const std::string where = "after step " + std::to_string(i + 1) + ": ";
        records.clear();
        core.getGenOpts(records);
        const QiArgRetVal expected = model.settings();
        if (records.size() != 14u) return where + "GetGenOptions gave no settings";
        if (records[12] != expected)
            return where + "GetGenOptions reports " + describe(records[12]) + ", the model " +
                   describe(expected);
        for (const char* key : {"Pattern", "VideoFormat"})
            if (text(records[13], key) != text(model.current, key))
                return where + "current " + key + " " + text(records[13], key) + ", the model " +
                       text(model.current, key);
        std::string why;
        if (!card->runs(model.formats[model.format], model.layout, why))
            return where + why + "; the model " + model.formats[model.format] + " in " +
                   kLayouts[model.layout];
        // The frame on the card is the raster coded with the model's matrix
        // and gating (the mute: every component at a quarter grey).
        QiImageCoder saved = raster.coder;
        raster.coder.setColorMatrix(static_cast<QiImageCoder::ColorMatrix>(model.matrix));
        const unsigned mute = 70u << (raster.bits - 8);
        if (model.mute)
            raster.coder.setColorGating(7, mute, mute, mute);
        else
            raster.coder.setColorGating((model.gate[0] ? 1 : 0) | (model.gate[1] ? 2 : 0) |
                                            (model.gate[2] ? 4 : 0),
                                        model.colour[0], model.colour[1], model.colour[2]);
        const std::vector<uint8_t> coded = card->coded();
        raster.coder = saved;
        if (coded.empty() || coded != card->shown())
            return where + "the card's frame is not the raster coded with the model's " +
                   kMatrices[model.matrix] + " and gating";
    }
    return "";
}

// --------------------------------------------------------- random sequences

class Generator {
public:
    Generator(unsigned seed, std::vector<std::string> formats, bool outsideLayouts)
        : rng(seed), choices(std::move(formats)), layouts(outsideLayouts) {}

    std::vector<Step> sequence(size_t n) {
        std::vector<Step> steps(n);
        for (Step& s : steps) {
            s.held = chance(0.2);
            if (chance(0.15)) {
                Op op{chance(layouts ? 0.5 : 0.0) ? Op::LayoutOutside : Op::FormatOutside, {}, {}};
                op.value = pick(choices);
                op.layout = static_cast<int>(rng() % 4);
                s.ops.push_back(op);
                if (op.kind == Op::FormatOutside && chance(0.5)) {
                    QiArgRetVal q = options(0.1);
                    if (chance(0.5)) q.set("Pattern", pick({"Colorbars", "Color"}));
                    s.ops.push_back({Op::FormatBack, q, {}});
                }
            }
            const int count = 1 + static_cast<int>(rng() % (s.held ? 4 : 3));
            for (int i = 0; i < count; ++i) {
                const double r = uniform();
                if (r < 0.15) {
                    QiArgRetVal a = options(0.3);
                    a.set("Pattern", pick({"Colorbars", "Color", "Checkerboard"}));
                    s.ops.push_back({Op::SetAlias, a, pick({"mmc/a", "mmc/b"})});
                } else if (r < 0.22) {
                    s.ops.push_back({Op::Flush, {}, {}});
                } else {
                    QiArgRetVal q = options(0.15);
                    if (chance(0.55))
                        q.set("Pattern", pick({"Colorbars", "colorbars", "Color", "Checkerboard",
                                               "mmc/a", "mmc/b", "NoSuchPattern"}));
                    s.ops.push_back({Op::SetGen, q, {}});
                }
            }
        }
        return steps;
    }

private:
    bool chance(double p) { return uniform() < p; }
    double uniform() { return std::uniform_real_distribution<double>(0, 1)(rng); }
    std::string pick(const std::vector<std::string>& from) { return from[rng() % from.size()]; }

    // Each generator option present with probability `p`, a pattern option sometimes.
    QiArgRetVal options(double p) {
        QiArgRetVal m;
        for (const char* key : {"OutputTitling", "GateRed", "GateGreen", "GateBlue"})
            if (chance(p)) m.set(key, pick({"0", "1", "toggle", "yes"}));
        if (chance(p / 2)) m.set("VideoMute", pick({"0", "1", "toggle"}));
        if (chance(2 * p)) // a full or partial gating colour
            for (const char* key : {"GatingColor_Red", "GatingColor_Green", "GatingColor_Blue"})
                if (chance(0.7))
                    m.set(key, pick({"0", "64", "300", "940", "1023", "5000", "-1", "0x10"}));
        if (chance(p)) {
            std::string f = pick(choices);
            if (chance(0.2)) f = "toggle";
            if (chance(0.1)) f = "no such format";
            if (chance(0.1))
                for (char& c : f)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            m.set("VideoFormat", f);
        }
        if (chance(2 * p))
            m.set("OutputColor",
                  pick({"RGB_8", "RGB_10", "YCbCr_8", "YCbCr_10", "ycbcr_8", "toggle", "bogus"}));
        if (chance(p))
            m.set("ColorEncoding", chance(0.8) ? pick({std::begin(kMatrices), std::end(kMatrices)})
                                               : pick({"toggle", "bogus"}));
        if (chance(p)) m.set("Brightness", pick({"75", "100"}));
        return m;
    }

    std::mt19937 rng;
    std::vector<std::string> choices;
    bool layouts;
};

// Cuts a failing sequence down: drops steps, then operations, while it still fails.
std::vector<Step> shortest(const CardFactory& makeCard, std::vector<Step> steps,
                           std::chrono::steady_clock::time_point deadline) {
    auto fails = [&](const std::vector<Step>& s) { return !runSequence(makeCard, s).empty(); };
    bool cut = true;
    while (cut && std::chrono::steady_clock::now() < deadline) {
        cut = false;
        for (size_t i = steps.size(); i-- > 0 && std::chrono::steady_clock::now() < deadline;) {
            std::vector<Step> fewer = steps;
            fewer.erase(fewer.begin() + static_cast<long>(i));
            if (fails(fewer)) steps = fewer, cut = true;
        }
        for (size_t i = 0; i < steps.size() && std::chrono::steady_clock::now() < deadline; ++i) {
            if (steps[i].held) {
                std::vector<Step> plain = steps;
                plain[i].held = false;
                if (fails(plain)) steps = plain, cut = true;
            }
            for (size_t j = steps[i].ops.size(); j-- > 0;) {
                std::vector<Step> fewer = steps;
                fewer[i].ops.erase(fewer[i].ops.begin() + static_cast<long>(j));
                if (fails(fewer)) steps = fewer, cut = true;
            }
        }
    }
    return steps;
}

void runRandomSequences(const CardFactory& makeCard, bool outsideLayouts) {
    using Clock = std::chrono::steady_clock;
    const char* env = std::getenv("KB_SEQUENCE_SEED");
    const unsigned firstSeed = env ? static_cast<unsigned>(std::strtoul(env, nullptr, 0)) : 1;
    const Clock::time_point start = Clock::now();
    for (unsigned seed = firstSeed; seed < firstSeed + 5; ++seed) {
        if (seed > firstSeed && Clock::now() - start > std::chrono::seconds(15)) break;
        const std::vector<std::string> formats = makeCard()->choices();
        const std::vector<Step> steps = Generator(seed, formats, outsideLayouts).sequence(60);
        const std::string failure = runSequence(makeCard, steps);
        if (failure.empty()) continue;
        const std::vector<Step> cut =
            shortest(makeCard, steps, Clock::now() + std::chrono::seconds(30));
        ADD_FAILURE() << "seed " << seed << ": " << failure << "\nshortest failing sequence:\n"
                      << describe(cut) << "which fails " << runSequence(makeCard, cut);
        return;
    }
}

TEST(EngineSequence, MemoryRaster) {
    runRandomSequences([] { return std::make_unique<MemoryCard>(); }, false);
}

TEST(EngineSequence, AjaCard) {
    ajastub::privateStreamOwner();
    runRandomSequences([] { return std::make_unique<AjaCard>(); }, true);
}

TEST(EngineSequence, DeckLinkCard) {
    runRandomSequences([] { return std::make_unique<DeckLinkCard>(); }, false);
}

} // namespace
