// The folder scanner. (Scanning itself arrives with the plug-in loader.)
#include "FolderScanner.h"

#include "MtCore.h"

FolderScanner::FolderScanner(char const* f, char const* p, bool plugins)
    : folder(f ? f : ""), prefix(p ? p : ""), loadPlugins(plugins) {}

FolderScanner::~FolderScanner() = default;

void FolderScanner::scan(MtCore*) {}
void FolderScanner::addPattern(MtCore*, char const*) {}
void FolderScanner::processFile(char const*, unsigned int, unsigned int, unsigned int) {}
void FolderScanner::makeAliases(MtCore*) {}

bool MtCore::scanFolder(const char* folder, const char* prefix, bool loadPlugins) {
    FolderScanner scanner(folder, prefix, loadPlugins);
    if (status) status->scanStarted();
    scanner.scan(this);
    scanner.makeAliases(this);
    if (status) status->scanFinished();
    return true;
}
