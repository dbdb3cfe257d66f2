// The folder scanner: image-file names, image aliases and ".mtp" plug-ins.
#include "FolderScanner.h"
#include "MemoryRaster.h"
#include "MtCore.h"
#include "QiImage.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace fs = std::filesystem;
using testsupport::MemoryRaster;
using testsupport::MemoryRasterConfig;
using testsupport::ScopedCapture;

namespace {

// A fresh folder under the system's temporary folder, removed with its contents.
class TempFolder {
public:
    TempFolder() {
        std::string templ = (fs::temp_directory_path() / "kb-scanner-XXXXXX").string();
        char* made = mkdtemp(templ.data());
        EXPECT_NE(made, nullptr);
        path = templ;
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }

    std::string path;
};

void writePng(const std::string& path, int w = 4, int h = 2) {
    QiImage image(w, h, 8);
    image.clear(image.makeGrey(128));
    ASSERT_TRUE(image.writePng(path.c_str())) << path;
}

void writeMti(const std::string& path) {
    QiImage image(3, 3, 10);
    image.clear(image.makeGrey(512));
    ASSERT_TRUE(image.writeMti(path.c_str())) << path;
}

void writeText(const std::string& path, const char* text) {
    std::ofstream(path) << text;
}

// Copies a test plug-in into `folder` under `name`.
std::string copyPlugin(const char* plugin, const std::string& folder, const std::string& name) {
    std::string to = folder + "/" + name;
    fs::copy_file(std::string(KB_TEST_PLUGINS) + "/" + plugin, to,
                  fs::copy_options::overwrite_existing);
    return to;
}

bool hasLine(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

using Frames = std::vector<std::string>;

// The frame list of a base and resolution, or a list holding "<absent>".
Frames framesOf(const FolderScanner& s, const std::string& base, unsigned vres) {
    auto b = s.images.find(base);
    if (b == s.images.end()) return {"<absent>"};
    auto r = b->second.find(vres);
    if (r == b->second.end()) return {"<absent>"};
    return r->second;
}

// ------------------------------------------------------- file-name grammar

TEST(FolderScannerNames, BaseResolutionAndFrame) {
    struct Case {
        const char* name;
        const char* base;
        unsigned vres;
        size_t frame;
    } const cases[] = {
        {"Pluge.png", "Pluge", 0, 0},
        {"Pluge-1080.png", "Pluge", 1080, 0},
        {"Ramp-720~3.mti", "Ramp", 720, 3},
        {"Logo-2.png", "Logo", 0, 0},         // below 480: no resolution, dash still cut
        {"my-file.png", "my-file", 0, 0},     // no digit after the dash
        {"Test-1080p.png", "Test", 1080, 0},  // digits up to the first other character
        {"clip~2-1080.png", "clip", 0, 2},    // frame split first; its text stops at '-'
        {"a.b.png", "a.b", 0, 0},             // only the last extension goes
        {"noext", "noext", 0, 0},             // no '.' at all
        {"Edge-480~+4.jpg", "Edge", 480, 4},  // 480 is the lowest resolution kept; sign allowed
        {"Blank~ 7.png", "Blank", 0, 7},      // leading blanks allowed
        {"Nodigits~x.png", "Nodigits", 0, 0}, // no digits: frame 0
        {"Zero~-0.png", "Zero", 0, 0},        // minus zero is still frame 0
        {"t~il~de~1.png", "t~il~de", 0, 1},   // the last '~' splits
    };
    for (const Case& c : cases) {
        FolderScanner s("/f", "");
        s.processFile(c.name, 1, 1, 0);
        ASSERT_EQ(s.images.size(), 1u) << c.name;
        EXPECT_EQ(s.images.begin()->first, c.base) << c.name;
        Frames frames = framesOf(s, c.base, c.vres);
        ASSERT_EQ(frames.size(), c.frame + 1) << c.name;
        EXPECT_EQ(frames[c.frame], c.name);
        for (size_t j = 0; j < c.frame; ++j)
            EXPECT_EQ(frames[j], "") << c.name;
    }
}

TEST(FolderScannerNames, FramesFillAndLaterFileReplaces) {
    ScopedCapture capture;
    FolderScanner s("/f", "");
    s.processFile("Seq~5.png", 1, 1, 0);
    s.processFile("Seq~0.png", 1, 1, 0);
    EXPECT_EQ(framesOf(s, "Seq", 0), (Frames{"Seq~0.png", "", "", "", "", "Seq~5.png"}));
    // Same base, resolution and frame: the later file wins, the list keeps its length.
    s.processFile("Shot-479.png", 1, 1, 0);
    s.processFile("Shot.png", 1, 1, 0);
    EXPECT_EQ(framesOf(s, "Shot", 0), (Frames{"Shot.png"}));
    EXPECT_TRUE(hasLine(capture.out->take(), "Info: processFile: Seq.0.5 Seq~5.png\n"));
}

TEST(FolderScannerNames, OutOfRangeNumbersAreSkipped) {
    ScopedCapture capture;
    FolderScanner s("/f", "");
    for (const char* name : {"x~999999999.png", "x~1000.png", "x~-1.png", "x~-999999999999.png",
                             "x~99999999999999999999999999999999.png", "Big-65536.png",
                             "Big-99999999999999999999999999.png"}) {
        s.processFile(name, 1, 1, 0);
        EXPECT_TRUE(s.images.empty()) << name;
    }
    std::vector<std::string> lines = capture.out->take();
    EXPECT_TRUE(hasLine(lines, "Warning: processFile: frame number out of range in 'x~-1.png'\n"));
    EXPECT_TRUE(
        hasLine(lines, "Warning: processFile: resolution out of range in 'Big-65536.png'\n"));

    // The largest accepted values.
    s.processFile("x~999.png", 1, 1, 0);
    s.processFile("Big-65535.png", 1, 1, 0);
    EXPECT_EQ(framesOf(s, "x", 0).size(), 1000u);
    EXPECT_EQ(framesOf(s, "Big", 65535), (Frames{"Big-65535.png"}));
}

TEST(FolderScannerNames, EmptyBaseIsSkippedAndLongNamesKept) {
    ScopedCapture capture;
    FolderScanner s("/f", "");
    for (const char* name : {".png", "~3.png", "-1080.png", "-1080~2.png", ""}) {
        s.processFile(name, 1, 1, 0);
        EXPECT_TRUE(s.images.empty()) << "'" << name << "'";
    }
    EXPECT_TRUE(hasLine(capture.out->take(), "Warning: processFile: no base name in '~3.png'\n"));

    std::string base(5000, 'L');
    std::string name = base + "-2160~1.png";
    s.processFile(name.c_str(), 1, 1, 0);
    EXPECT_EQ(framesOf(s, base, 2160), (Frames{"", name}));
}

// ---------------------------------------------------------- folder pass

TEST(FolderScannerScan, RegularFilesDirectlyInsideOnly) {
    ScopedCapture capture;
    TempFolder dir;
    writePng(dir.file("Pluge.png"));
    writeMti(dir.file("Ramp-720~3.mti"));
    writePng(dir.file("x.mtp.png")); // an image, not a plug-in
    writePng(dir.file("Upper.MTP")); // the extension compares case-sensitively
    writeText(dir.file("notes.txt"), "not an image");
    fs::create_directory(dir.file("sub"));
    writePng(dir.file("sub/Inner.png"));
    fs::create_directory(dir.file("Dir.png"));
    fs::create_symlink(dir.file("Pluge.png"), dir.file("Link-1080.png"));
    fs::create_symlink(dir.file("missing.png"), dir.file("Dangling.png"));

    FolderScanner s(dir.path.c_str(), "");
    s.scan(nullptr);
    std::vector<std::string> bases;
    for (const auto& b : s.images)
        bases.push_back(b.first);
    EXPECT_EQ(bases, (std::vector<std::string>{"Link", "Pluge", "Ramp", "Upper", "x.mtp"}));
    EXPECT_EQ(framesOf(s, "Ramp", 720), (Frames{"", "", "", "Ramp-720~3.mti"}));
    EXPECT_EQ(framesOf(s, "Link", 1080), (Frames{"Link-1080.png"}));

    // The sub-folder is found only when scanned in its own right.
    std::string sub = dir.file("sub"); // the scanner keeps the pointer
    FolderScanner inner(sub.c_str(), "");
    inner.scan(nullptr);
    EXPECT_EQ(framesOf(inner, "Inner", 0), (Frames{"Inner.png"}));
}

// Nothing in a folder makes the scan wait: a FIFO named like an image, a raw
// frame whose sidecar is a FIFO, an empty file. The files after them are found.
TEST(FolderScannerScan, FifosAndEmptyFilesNeverHoldTheScanUp) {
    ScopedCapture capture;
    TempFolder dir;
    testsupport::FifoWatch image(dir.file("Pipe-1080.png"));
    std::ofstream(dir.file("Clip.yuv")) << std::string(16, 'x');
    testsupport::FifoWatch sidecar(dir.file("Clip.raw_data"));
    std::ofstream(dir.file("Empty.mti")).flush();
    writePng(dir.file("Zeta-720.png"));

    FolderScanner s(dir.path.c_str(), "");
    s.scan(nullptr);
    EXPECT_FALSE(image.stop());
    EXPECT_FALSE(sidecar.stop());
    std::vector<std::string> bases;
    for (const auto& b : s.images)
        bases.push_back(b.first);
    EXPECT_EQ(bases, (std::vector<std::string>{"Zeta"}));
}

// Names that are not UTF-8 or hold control characters would reach every reply
// listing aliases: such files are skipped, each with one Warning.
TEST(FolderScannerScan, NamesRepliesCannotCarryAreSkipped) {
    ScopedCapture capture;
    TempFolder dir;
    for (const char* name : {"Bad\xe9.png", "Bell\x07.png", "Tab\t.png", "Line\n~1.png",
                             "Over\xc0\xae.png", "caf\xc3\xa9.png"})
        writePng(dir.file(name));
    FolderScanner s(dir.path.c_str(), "");
    s.scan(nullptr);
    std::vector<std::string> bases;
    for (const auto& b : s.images)
        bases.push_back(b.first);
    EXPECT_EQ(bases, (std::vector<std::string>{"caf\xc3\xa9"}));
    const auto lines = capture.out->take();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) {
                                return l.find("not a name replies can carry") != std::string::npos;
                            }),
              5);
    EXPECT_TRUE(hasLine(lines, "Warning: scan: skipping 'Bad\\xE9.png' in " + dir.path));
    EXPECT_TRUE(hasLine(lines, "'Line\\x0A~1.png'"));
}

TEST(FolderScannerScan, SortedOrderDecidesBetweenClashingFiles) {
    // Shot-479.png and Shot.png both give Shot, 0, 0; in byte order Shot.png
    // comes last and wins whatever order the file system lists them in.
    for (int round = 0; round < 2; ++round) {
        TempFolder dir;
        if (round == 0) {
            writePng(dir.file("Shot-479.png"));
            writePng(dir.file("Shot.png"));
        } else {
            writePng(dir.file("Shot.png"));
            writePng(dir.file("Shot-479.png"));
        }
        FolderScanner s(dir.path.c_str(), "");
        s.scan(nullptr);
        EXPECT_EQ(framesOf(s, "Shot", 0), (Frames{"Shot.png"}));
    }
}

TEST(FolderScannerScan, MissingFolderAndLongPaths) {
    FolderScanner missing("/nonexistent/kb-scanner", "p/");
    missing.scan(nullptr);
    EXPECT_TRUE(missing.images.empty());

    // A folder path well past 1024 characters.
    TempFolder dir;
    std::string deep = dir.path;
    for (int i = 0; i < 6; ++i) {
        deep += "/" + std::string(200, static_cast<char>('a' + i));
        fs::create_directory(deep);
    }
    writePng(deep + "/Deep-1080.png");
    FolderScanner s(deep.c_str(), "");
    s.scan(nullptr);
    EXPECT_EQ(framesOf(s, "Deep", 1080), (Frames{"Deep-1080.png"}));
}

// --------------------------------------------------- engine: aliases

// Stands in for the image-file pattern: keeps the arguments of its last render.
class ImageFileStub : public MtPatternRenderer {
public:
    ImageFileStub() { revision = "$Revision: 0.1 $"; }
    const char* getName() override { return "ImageFile"; }
    bool initialize(MtCore*) override { return true; }
    bool render(MtCore*, QiRaster* raster, const QiArgRetVal& args) override {
        std::lock_guard<std::mutex> lock(m);
        last = args;
        raster->setFrames(1);
        return true;
    }
    QiArgRetVal lastArgs() {
        std::lock_guard<std::mutex> lock(m);
        return last;
    }

private:
    std::mutex m;
    QiArgRetVal last;
};

class ScannerEngine : public ::testing::Test {
protected:
    void SetUp() override {
        MemoryRasterConfig config;
        config.formats = {{"1080p25", 96, 54}};
        raster = new MemoryRaster(config);
        core = new MtCore(raster, nullptr, testsupport::dataFolder().c_str());
        static ImageFileStub* stub = new ImageFileStub; // renderers live for the process
        imageFile = stub;
        core->addPattern(imageFile);
    }
    void TearDown() override {
        delete core;
        delete raster;
    }
    // Selects `pattern` with `extra` keys and waits until it was rendered.
    void show(const char* pattern, QiArgRetVal extra = QiArgRetVal()) {
        extra.set("Pattern", pattern);
        int id = core->asyncSetGen(extra);
        // False when the command was processed before the wait began: done too.
        bool result = false;
        core->waitForPattern(result, id);
    }
    std::string listed(const char* name) {
        QiArgRetVal list;
        core->getPatList(list);
        const char* v = nullptr;
        return list.find(name, &v) ? v : "<absent>";
    }

    MemoryRaster* raster = nullptr;
    MtCore* core = nullptr;
    ImageFileStub* imageFile = nullptr;
};

TEST_F(ScannerEngine, PlugeAndRampAliasesKeyForKey) {
    TempFolder dir;
    for (const char* name :
         {"Pluge.png", "Pluge-720.png", "Pluge-1080.png", "Ramp~0.png", "Ramp~2.png"})
        writePng(dir.file(name));
    ScopedCapture capture;
    ASSERT_TRUE(core->scanFolder(dir.path.c_str(), "user/"));
    std::vector<std::string> lines = capture.out->take();
    EXPECT_TRUE(hasLine(lines, "Info: Dump 'user/Pluge':\n"));
    EXPECT_TRUE(hasLine(lines, "Info:   r0-f1 => ''\n"));

    EXPECT_EQ(listed("user/Pluge"), "Alias/ImageFile");
    EXPECT_EQ(listed("user/Ramp"), "Alias/ImageFile");

    // The stored arguments reach the renderer; the request's "Pattern" wins.
    show("user/Pluge");
    QiArgRetVal pluge;
    for (auto kv : std::vector<std::pair<const char*, std::string>>{{"Pattern", "user/Pluge"},
                                                                    {"Name", "Pluge"},
                                                                    {"Folder", dir.path},
                                                                    {"Anchor", "MC"},
                                                                    {"nVres", "3"},
                                                                    {"vres0", "0"},
                                                                    {"vres1", "720"},
                                                                    {"vres2", "1080"},
                                                                    {"nF0", "1"},
                                                                    {"r0-f0", "Pluge.png"},
                                                                    {"nF720", "1"},
                                                                    {"r720-f0", "Pluge-720.png"},
                                                                    {"nF1080", "1"},
                                                                    {"r1080-f0", "Pluge-1080.png"}})
        pluge.set(kv.first, kv.second.c_str());
    EXPECT_EQ(imageFile->lastArgs(), pluge);

    show("user/Ramp");
    QiArgRetVal ramp;
    for (auto kv : std::vector<std::pair<const char*, std::string>>{{"Pattern", "user/Ramp"},
                                                                    {"Name", "Ramp"},
                                                                    {"Folder", dir.path},
                                                                    {"Anchor", "MC"},
                                                                    {"nVres", "1"},
                                                                    {"vres0", "0"},
                                                                    {"nF0", "3"},
                                                                    {"r0-f0", "Ramp~0.png"},
                                                                    {"r0-f1", ""},
                                                                    {"r0-f2", "Ramp~2.png"}})
        ramp.set(kv.first, kv.second.c_str());
    EXPECT_EQ(imageFile->lastArgs(), ramp);
}

TEST_F(ScannerEngine, ResolutionsAscendAndRescanReplaces) {
    TempFolder dir;
    writePng(dir.file("Hdr-2160.png"));
    writePng(dir.file("Hdr.png"));
    core->scanFolder(dir.path.c_str(), "asc/");
    show("asc/Hdr");
    QiArgRetVal first = imageFile->lastArgs();
    const char* v = nullptr;
    ASSERT_TRUE(first.find("vres0", &v));
    EXPECT_STREQ(v, "0");
    ASSERT_TRUE(first.find("vres1", &v));
    EXPECT_STREQ(v, "2160");

    // A second scan replaces the alias with an equal one.
    core->scanFolder(dir.path.c_str(), "asc/");
    show("asc/Hdr");
    EXPECT_EQ(imageFile->lastArgs(), first);
}

TEST_F(ScannerEngine, LongPrefixAndNoImagesMakeNoTrouble) {
    TempFolder empty;
    QiArgRetVal before;
    core->getPatList(before);
    core->scanFolder(empty.path.c_str(), "none/");
    QiArgRetVal after;
    core->getPatList(after);
    EXPECT_EQ(before, after);

    TempFolder dir;
    writePng(dir.file("Wide.png"));
    std::string prefix(300, 'p');
    prefix += "/";
    core->scanFolder(dir.path.c_str(), prefix.c_str());
    EXPECT_EQ(listed((prefix + "Wide").c_str()), "Alias/ImageFile");
}

// --------------------------------------------------- engine: plug-ins

TEST_F(ScannerEngine, PluginIsRegisteredAndRenders) {
    TempFolder dir;
    std::string path = copyPlugin("PluginGrey.mtp", dir.path, "PluginGrey.mtp");
    writePng(dir.file("Beside.png"));
    ScopedCapture capture;
    core->scanFolder(dir.path.c_str(), "user/");
    EXPECT_TRUE(hasLine(capture.out->take(), "Info: addPattern: adding pattern " + path + "\n"));

    MtPatternRenderer* plugin = core->getPatternRenderer("plugingrey");
    ASSERT_NE(plugin, nullptr);
    EXPECT_STREQ(plugin->getName(), "PluginGrey");
    EXPECT_EQ(listed("PluginGrey"), "$Revision: 2.1 $");
    EXPECT_EQ(listed("PluginGreyHigh"), "Alias/PluginGrey"); // made by its initialize
    EXPECT_EQ(listed("user/Beside"), "Alias/ImageFile");
    std::vector<QiArgRetVal> opts;
    ASSERT_TRUE(core->getPatOpts("PluginGrey", opts));
    ASSERT_EQ(opts.size(), 1u);

    // The 10-bit raster holds the option's 8-bit level shifted by two.
    QiArgRetVal request;
    request.set("Level", "50");
    show("PluginGrey", request);
    int c0 = 0, c1 = 0, c2 = 0;
    raster->getPixel(3, 3, c0, c1, c2);
    EXPECT_EQ(c1, 200);
    show("PluginGreyHigh");
    raster->getPixel(3, 3, c0, c1, c2);
    EXPECT_EQ(c1, 800);

    // Found again: the library is not loaded twice, its entry runs again and
    // the new renderer supersedes the previous one.
    core->scanFolder(dir.path.c_str(), "user/");
    MtPatternRenderer* again = core->getPatternRenderer("PluginGrey");
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, plugin);
}

TEST_F(ScannerEngine, BrokenPluginsAreSkipped) {
    TempFolder dir;
    copyPlugin("NoEntry.mtp", dir.path, "NoEntry.mtp");
    std::string nullEntry = copyPlugin("NullEntry.mtp", dir.path, "NullEntry.mtp");
    std::string unresolved = copyPlugin("Unresolved.mtp", dir.path, "Unresolved.mtp");
    writeText(dir.file("Garbage.mtp"), "not a shared object");
    writePng(dir.file("Still.png"));
    QiArgRetVal before;
    core->getPatList(before);

    ScopedCapture capture;
    core->scanFolder(dir.path.c_str(), "broken/");
    std::vector<std::string> lines = capture.out->take();
    EXPECT_TRUE(hasLine(lines, "Warning: addPattern: Cannot find symbol 'MtpMain': "));
    EXPECT_TRUE(hasLine(lines, "Warning: addPattern: 'MtpMain' of " + nullEntry +
                                   " returned no pattern\n"));
    // Immediate binding: the loader refuses the plug-in with the unresolved call
    // (silently), instead of the process ending when its entry runs.
    EXPECT_FALSE(hasLine(lines, "adding pattern " + unresolved));
    EXPECT_EQ(dlopen(unresolved.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);

    // Nothing was registered; the image beside them still became an alias.
    QiArgRetVal after;
    core->getPatList(after);
    after.remove("broken/Still");
    EXPECT_EQ(after, before);
    EXPECT_EQ(listed("broken/Still"), "Alias/ImageFile");
}

TEST_F(ScannerEngine, ClientScansNeverLoadPlugins) {
    TempFolder dir;
    std::string path = copyPlugin("PluginGrey.mtp", dir.path, "ClientGrey.mtp");
    writePng(dir.file("Remote-1080.png"));
    ScopedCapture capture;
    core->scanFolder(dir.path.c_str(), "mmc/", false);
    EXPECT_FALSE(hasLine(capture.out->take(), "adding pattern"));
    EXPECT_EQ(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr); // never loaded
    EXPECT_EQ(listed("mmc/Remote"), "Alias/ImageFile");
}

} // namespace
