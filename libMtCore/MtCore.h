// MtCore: the generator's engine.
//
// One engine exists per process; its shared state (command queue, registry,
// alias table, current pattern) is file-static in MtCore.cpp. Clients change
// the output only by queueing commands (asyncSetGen); the render thread takes
// them one at a time, in order, applies their generator options to the raster
// and, when needed, has the pattern's renderer draw and the raster show the
// new frame. While the current pattern is animated the render thread also
// steps its frames at the pattern's frame period.
//
// Threads:
//   - render thread: mainLoop, setGenOpts, setPattern, renderers' render,
//     renderTitle, the raster's conversion and upload;
//   - client threads (main, XML-RPC server, in-process controller): every
//     other public method.
// Locks, always taken in this order: the engine lock (queue, ids, waiter), the
// raster lock (held by the render thread while it processes a command or steps
// a frame, and by client calls that read the raster; handed over in the order
// it was asked for, so a client waiting for it gets in between two commands),
// the state lock (current pattern, registry, aliases, generator settings,
// format list).
#pragma once

#include "MtPatternRenderer.h"
#include "QiArgRetVal.h"
#include "QiRasterInterface.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <vector>

class QiFont;
class QiImage;
class QiRaster;
class MtcIrIo;
class MtCore;

// A renderer with its arguments: an alias entry, the current pattern, or the
// payload of a queued command.
class QiAlias {
public:
    QiAlias() = default;
    QiAlias(MtPatternRenderer* r, QiArgRetVal const& a) : renderer(r), args(a) {}

    MtPatternRenderer* renderer = nullptr; // null = none
    QiArgRetVal args;
};

// One queued command. A "Pattern" it names is resolved when it is queued:
// the renderer, and the alias's stored arguments as they stood then (shared,
// never changed). `alias.args` holds only the client's request; the keys it
// still lacks are filled from the current arguments when the render thread
// takes the command, so each command applies on top of every command queued
// before it.
class QigCommand {
public:
    QigCommand(int i, bool np, QiAlias const& a) : id(i), newPattern(np), alias(a) {}

    int id;
    bool newPattern; // render even when no generator option asks for it
    QiAlias alias;
    std::shared_ptr<const QiArgRetVal> aliasArgs; // the named alias's arguments, or null
    bool unknownPattern = false;                  // "Pattern" named neither a renderer nor an alias
    bool stop = false;       // the engine's own stop command (set only by ~MtCore)
    size_t requestBytes = 0; // what the request costs the queue's byte bound
};

// The engine's observer on the raster: update() wakes the render thread.
class QigInterface : public QiRasterInterface {
public:
    explicit QigInterface(MtCore* c) : core(c) {}
    ~QigInterface() override;
    bool update() override;

    MtCore* core;
};

// Observer of the engine's activity; every call is skipped when none is given.
// An implementation must not block: the render calls come from the render thread.
class MtCoreStatus {
public:
    virtual ~MtCoreStatus() = default;
    virtual void renderStarted() = 0;
    virtual void renderFinished() = 0;
    virtual void showStarted() = 0;
    virtual void showFinished() = 0;
    virtual void scanStarted() = 0;
    virtual void scanFinished() = 0;
    virtual const char* applicationVersion() = 0;
};

// Thrown by a client call of the engine instead of waiting for the render
// thread past the deadline its thread set (MtCore::WaitLimit). The call has
// done nothing.
class MtCoreBusy : public std::runtime_error {
public:
    MtCoreBusy() : std::runtime_error("the engine is busy") {}
};

class MtCore {
public:
    // While one exists, the calls made on its thread that wait for the raster
    // lock (getGenOpts, getGenSettings, getVersion, getEdid, rescanFormats,
    // saveImageAsPng) wait until `deadline` at most and then throw
    // MtCoreBusy. The render thread never sets one.
    class WaitLimit {
    public:
        explicit WaitLimit(std::chrono::steady_clock::time_point deadline);
        ~WaitLimit();
        WaitLimit(const WaitLimit&) = delete;
        WaitLimit& operator=(const WaitLimit&) = delete;

    private:
        std::chrono::steady_clock::time_point previous;
    };

    // Builds the engine on `raster` (not owned, outlives the engine), loads the
    // fonts from "<dataPath>/datafiles", starts the render thread and registers
    // the built-in patterns. `status` and `dataPath` may be null.
    MtCore(QiRaster* raster, MtCoreStatus* status, const char* dataPath);
    // Drops the commands still queued, lets the one being processed finish,
    // then stops and joins the render thread.
    ~MtCore();
    MtCore(const MtCore&) = delete;
    MtCore& operator=(const MtCore&) = delete;

    // ------------------------------------------------------------ commands
    // At most this many commands wait in the queue; a request beyond is refused.
    static constexpr int kMaxQueuedCommands = 500;
    // And the requests waiting hold at most this many bytes (keys and values,
    // plus a small cost per entry), so a few large requests cannot fill memory.
    static constexpr size_t kMaxQueuedBytes = 64u << 20;

    // Queues one command and returns its id (always positive) at once, or -1
    // (with a Warning) when the queue already holds kMaxQueuedCommands or the
    // request would take it past kMaxQueuedBytes.
    int asyncSetGen(const QiArgRetVal& request);
    int asyncSetPattern(const char* name);
    // Blocks until command `id` (queued or being processed) has been processed
    // and gives its result: false when its render failed (the pattern before
    // it then stays current) or the card refused its frame (the pattern stays
    // current: the raster holds it). Returns false at once when the id is
    // neither queued nor being processed, when another caller already waits,
    // or when the render thread has ended.
    bool waitForPattern(bool& result, int id);
    void mainLoop(); // the render thread's body
    // Render thread: has `renderer` draw and the raster show the new frame.
    // False when the render failed (nothing is shown); `shown`, when given,
    // tells whether the card took the frame.
    bool setPattern(MtPatternRenderer* renderer, QiArgRetVal& args, bool* shown = nullptr);
    bool onKeyseq(const char* keys);
    void setIrInterface(MtcIrIo* io);

    // --------------------------------------------------- generator options
    // Render thread. `chosen`, when given, holds the keys of `args` that the
    // command chose itself (its request and the alias it names); the other
    // keys were carried over from the current arguments, and a carried-over
    // format, layout or matrix never changes what the card runs. Null: every
    // key counts as chosen.
    bool setGenOpts(QiArgRetVal& args, const QiArgRetVal* chosen = nullptr);
    bool validateOptions(const QiArgRetVal& request, MtPatternRenderer* renderer);
    static bool isOption(const char* key, QiOption* const* list);
    bool getGenSettings(QiArgRetVal& out);
    bool getGenOpts(std::vector<QiArgRetVal>& out);

    // ------------------------------------------------- registry and aliases
    // Bounds of the alias table: entries, and bytes of names, keys and values.
    static constexpr size_t kMaxAliases = 4096;
    static constexpr size_t kMaxAliasBytes = 16u << 20;

    bool addPattern(MtPatternRenderer* renderer);
    MtPatternRenderer* getPatternRenderer(const char* name);
    // False (with a trace) for an args without a registered "Pattern", and
    // when the alias would take the table past kMaxAliases or kMaxAliasBytes.
    bool addAlias(const char* name, const QiArgRetVal& args);
    bool addCurrentAlias(const char* name, bool withPattern, bool withGenerator);
    bool removeAlias(const char* name);
    bool removeAliasesByPrefix(const char* prefix);
    void dumpAliases();
    bool getPatList(QiArgRetVal& out);
    bool getPatOpts(const char* name, std::vector<QiArgRetVal>& out);
    bool getPatSettings(QiArgRetVal& out);
    void renderTitle(const char* title, const char* subtitle, QiImage* image); // render thread
    // Scans `folder` for image files (aliases named `prefix` + base name) and,
    // when `loadPlugins` is set, ".mtp" plug-ins. Client-requested scans pass false.
    bool scanFolder(const char* folder, const char* prefix, bool loadPlugins = true);
    bool rescanFormats();
    // Six texts the engine keeps; each call rewrites them. Copy what you keep.
    const char** getVersion();
    bool getEdid(unsigned char*& data, unsigned long& length);
    bool saveImageAsPng(const char* path);

    // Fields, in order.
    QiFont* fonts[5] = {};
    unsigned outputColor = 3;
    unsigned videoFormat = 0;
    unsigned gatingRed = 0, gatingGreen = 0, gatingBlue = 0;
    unsigned colorEncoding = 3;
    bool titling = false, gateRed = false, gateGreen = false, gateBlue = false, videoMute = false;
    unsigned nextCommandId = 0;
    QiRaster* raster = nullptr;
    MtCoreStatus* status = nullptr;
    char* datafilesDir = nullptr;
    char* dataDir = nullptr;
    QigInterface* rasterInterface = nullptr;
    char** formatNames = nullptr;
    int formatCount = 0;
    MtcIrIo* irInterface = nullptr;
    const char* serial = nullptr;

private:
    int queueCommand(const QiArgRetVal& request);
    // False: the stop command. `result` is false when the render failed or
    // the card refused the frame.
    bool processCommand(QigCommand& command, bool& rendered, bool& result);
    // After a failed render: `previous` is current again, with the generator
    // options `applied` by the failed command, and is drawn again.
    void restorePattern(QiAlias& previous, const QiArgRetVal& applied);
    bool applyGating();
};

// Registers the built-in renderers, in their fixed order (patterns/).
void MtRegisterBuiltinPatterns(MtCore* core);
