// FolderScanner: one pass over one folder of user patterns.
//
// Two kinds of file count. Pattern plug-ins, shared objects whose names end in
// ".mtp", are loaded (immediate binding, never unloaded) and their entry
// `extern "C" MtPatternRenderer* MtpMain(MtCore*)` is called; the renderer it
// returns is registered with the engine. Image files that QiImage::fileInfo
// recognises are grouped by base name into one "ImageFile" alias each, named
// prefix + base name.
//
// Image-file names: base, then optionally "-" and the vertical resolution,
// then optionally "~" and the frame number, then the extension:
//   Ramp-720~3.mti -> base Ramp, resolution 720, frame 3
//   Logo-2.png     -> base Logo, resolution 0 (below 480 counts as none)
//   clip~2-1080.png -> base clip, resolution 0, frame 2 (the frame is split
//                      off first and its number stops at the "-")
// Frame numbers run from 0 to kMaxFrame and resolutions up to kMaxResolution;
// a file naming others, or an empty base, is skipped with a Warning, and so is
// a file whose name is not UTF-8 or holds a control character.
//
// A scanner lives for one MtCore::scanFolder call and is used by one thread.
// The folder and prefix texts belong to the caller and must outlive it.
#pragma once

#include <map>
#include <string>
#include <vector>

class MtCore;

class FolderScanner {
public:
    // The highest frame number a file name may carry: a sequence holds at
    // most 1000 frames.
    static constexpr long kMaxFrame = 999;
    // The highest vertical resolution a file name may carry.
    static constexpr long kMaxResolution = 65535;

    // `loadPlugins` false takes image files only (scans that clients ask for).
    FolderScanner(char const* folder, char const* prefix, bool loadPlugins = true);
    ~FolderScanner();

    // Looks at every regular file directly inside `folder`, in byte-wise
    // order of the names. With a null `core`, plug-ins are skipped and image
    // files are still recorded.
    void scan(MtCore* core);
    // Loads the plug-in at `path` and registers its renderer with `core`
    // (with a null `core` it is only loaded and its entry looked up).
    void addPattern(MtCore* core, char const* path);
    // Records one image file; `name` is the entry's name inside the folder.
    // The size and pixel coding are passed along and play no part.
    void processFile(char const* name, unsigned int width, unsigned int height,
                     unsigned int coding);
    // One alias per base name; with a null `core` the aliases are only traced.
    void makeAliases(MtCore* core);

    char const* folder;
    char const* prefix;
    // base name -> vertical resolution -> frame file names by frame number
    // (a frame no file supplied holds the empty text)
    std::map<std::string, std::map<unsigned, std::vector<std::string>>> images;
    bool loadPlugins;
};
