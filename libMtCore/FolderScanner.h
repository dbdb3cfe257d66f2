// FolderScanner: one pass over one folder of user patterns.
//
// ".mtp" plug-ins are loaded and their renderers registered; image files are
// grouped by base name into "ImageFile" aliases named prefix + base name.
#pragma once

#include <map>
#include <string>
#include <vector>

class MtCore;

class FolderScanner {
public:
    // `loadPlugins` false takes image files only (scans that clients ask for).
    FolderScanner(char const* folder, char const* prefix, bool loadPlugins = true);
    ~FolderScanner();

    void scan(MtCore* core);
    void addPattern(MtCore* core, char const* path);
    void processFile(char const* name, unsigned int width, unsigned int height,
                     unsigned int coding);
    void makeAliases(MtCore* core);

    char const* folder;
    char const* prefix;
    // base name -> vertical resolution -> frame file names by frame number
    std::map<std::string, std::map<unsigned, std::vector<std::string>>> images;
    bool loadPlugins;
};
