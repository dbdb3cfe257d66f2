// The folder scanner: plug-ins and image files of one folder.
#include "FolderScanner.h"

#include "MtCore.h"
#include "QiArgRetVal.h"
#include "QiCLocale.h"
#include "QiImage.h"
#include "QiOutput.h"
#include "QiText.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>

namespace {

using MtpEntry = MtPatternRenderer* (*)(MtCore*);

const char* const kPluginExtension = ".mtp";

// A decimal number from the start of `text`: digits up to the first other
// character. Saturates at `limit` + 1, so any longer run of digits reads as
// out of range instead of overflowing.
long readDigits(const char* text, long limit) {
    long value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*text)); ++text) {
        if (value <= limit) value = value * 10 + (*text - '0');
        if (value > limit) value = limit + 1;
    }
    return value;
}

// A frame number: leading blanks and a sign allowed, then digits; no digits
// give 0. Anything outside 0..limit reads as -1.
long readFrame(const char* text, long limit) {
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    long value = readDigits(text, limit);
    if (value > limit || (negative && value != 0)) return -1;
    return value;
}

const char* loaderError() {
    const char* e = dlerror();
    return e ? e : "unknown error";
}

} // namespace

FolderScanner::FolderScanner(char const* f, char const* p, bool plugins)
    : folder(f ? f : ""), prefix(p ? p : ""), loadPlugins(plugins) {}

FolderScanner::~FolderScanner() = default;

void FolderScanner::scan(MtCore* core) {
    DIR* dir = opendir(folder);
    if (!dir) return;
    // Sorted, so that which of two files for the same frame wins does not
    // depend on the file system's listing order.
    std::vector<std::string> names;
    while (struct dirent* entry = readdir(dir))
        names.emplace_back(entry->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());

    for (const std::string& name : names) {
        std::string path = std::string(folder) + "/" + name;
        struct stat st;
        // Empty files hold nothing to load; some that look empty (a kernel log
        // under /proc) would make a read wait, so they are never opened.
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) continue;
        // A name becomes an alias name and argument values that every reply
        // listing them carries: one that is not UTF-8 or holds a control
        // character would make those replies malformed.
        if (!qiIsPlainName(name.c_str())) {
            gOutput->trace(QiOutput::Warning,
                           "%s: skipping '%s' in %s: not a name replies can carry\n", "scan",
                           qiEscapeText(name.c_str()).c_str(), qiEscapeText(folder).c_str());
            continue;
        }
        size_t dot = path.rfind('.');
        if (dot != std::string::npos &&
            path.compare(dot, std::string::npos, kPluginExtension) == 0) {
            if (core && loadPlugins) addPattern(core, path.c_str());
            continue;
        }
        unsigned width = 0, height = 0;
        QiImage::PixelCoding coding = QiImage::RGB;
        if (QiImage::fileInfo(path.c_str(), width, height, coding))
            processFile(name.c_str(), width, height, static_cast<unsigned>(coding));
    }
}

void FolderScanner::addPattern(MtCore* core, char const* path) {
    if (!path) return;
    // Immediate binding: a plug-in with a symbol the program does not export
    // is refused here rather than failing in the middle of a render.
    void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (handle)
        dlclose(handle); // drop the probe's reference; the library stays loaded
    else
        handle = dlopen(path, RTLD_NOW);
    if (!handle) {
        dlerror();
        return;
    }
    dlerror();
    MtpEntry entry = reinterpret_cast<MtpEntry>(dlsym(handle, "MtpMain"));
    if (!entry) {
        gOutput->trace(QiOutput::Warning, "%s: Cannot find symbol 'MtpMain': %s\n", "addPattern",
                       loaderError());
        dlclose(handle);
        return;
    }
    gOutput->trace(QiOutput::Info, "%s: adding pattern %s\n", "addPattern", path);
    if (!core) return;
    MtPatternRenderer* renderer = entry(core);
    if (!renderer) {
        // The entry has run and may have left callbacks behind: the library
        // stays loaded.
        gOutput->trace(QiOutput::Warning, "%s: 'MtpMain' of %s returned no pattern\n", "addPattern",
                       path);
        return;
    }
    core->addPattern(renderer);
}

void FolderScanner::processFile(char const* name, unsigned int, unsigned int, unsigned int) {
    if (!name) return;
    std::string rest(name);
    size_t cut = rest.rfind('.');
    if (cut != std::string::npos) rest.erase(cut);

    long frame = 0;
    cut = rest.rfind('~');
    if (cut != std::string::npos) {
        frame = readFrame(rest.c_str() + cut + 1, kMaxFrame);
        rest.erase(cut);
    }

    long resolution = 0;
    cut = rest.rfind('-');
    if (cut != std::string::npos && std::isdigit(static_cast<unsigned char>(rest[cut + 1]))) {
        resolution = readDigits(rest.c_str() + cut + 1, kMaxResolution);
        rest.erase(cut);
        if (resolution < 480) resolution = 0;
    }

    if (frame < 0) {
        gOutput->trace(QiOutput::Warning, "%s: frame number out of range in '%s'\n", "processFile",
                       name);
        return;
    }
    if (resolution > kMaxResolution) {
        gOutput->trace(QiOutput::Warning, "%s: resolution out of range in '%s'\n", "processFile",
                       name);
        return;
    }
    if (rest.empty()) {
        gOutput->trace(QiOutput::Warning, "%s: no base name in '%s'\n", "processFile", name);
        return;
    }

    std::vector<std::string>& frames = images[rest][static_cast<unsigned>(resolution)];
    if (frames.size() < static_cast<size_t>(frame) + 1)
        frames.resize(static_cast<size_t>(frame) + 1);
    frames[static_cast<size_t>(frame)] = name;
    gOutput->trace(QiOutput::Info, "%s: %s.%d.%d %s\n", "processFile", rest.c_str(),
                   static_cast<int>(resolution), static_cast<int>(frame), name);
}

void FolderScanner::makeAliases(MtCore* core) {
    for (const auto& base : images) {
        QiArgRetVal args;
        args.set("Pattern", "ImageFile");
        args.set("Name", base.first.c_str());
        args.set("Folder", folder);
        args.set("Anchor", "MC");
        args.set("nVres", static_cast<int>(base.second.size()));
        int i = 0;
        for (const auto& res : base.second) {
            int vres = static_cast<int>(res.first);
            args.set(qi::formatC("vres%d", i++).c_str(), vres);
            args.set(qi::formatC("nF%d", vres).c_str(), static_cast<int>(res.second.size()));
            for (size_t j = 0; j < res.second.size(); ++j)
                args.set(qi::formatC("r%d-f%d", vres, static_cast<int>(j)), res.second[j]);
        }
        std::string name = std::string(prefix) + base.first;
        if (core) core->addAlias(name.c_str(), args);
        args.dump(name.c_str());
    }
}

bool MtCore::scanFolder(const char* folder, const char* prefix, bool loadPlugins) {
    FolderScanner scanner(folder, prefix, loadPlugins);
    if (status) status->scanStarted();
    scanner.scan(this);
    scanner.makeAliases(this);
    if (status) status->scanFinished();
    return true;
}
