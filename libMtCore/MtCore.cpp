// The engine: command queue, render thread, generator options, registry.
#include "MtCore.h"

#include "QiCLocale.h"
#include "QiFont.h"
#include "QiImageCoder.h"
#include "QiOutput.h"
#include "QiRaster.h"

#include <sys/utsname.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <strings.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0, Clock::time_point t1) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t1 - t0).count() / 1e6;
}

struct LessCaseCmp {
    bool operator()(const std::string& a, const std::string& b) const {
        return strcasecmp(a.c_str(), b.c_str()) < 0;
    }
};

// The deadline of this thread's waits for the raster lock (MtCore::WaitLimit).
thread_local Clock::time_point tWaitDeadline = Clock::time_point::max();

// A recursive mutex handed over in the order it was asked for (a ticket
// lock). The render thread takes the raster lock again right after each
// command; with a plain mutex a client waiting for it (settings, version,
// EDID, format rescan) could wait out the whole queue. Here the client's
// earlier ticket lets it in between two commands. A thread with a wait
// deadline gives its ticket up when the deadline passes (MtCoreBusy); the
// lock then passes over that ticket.
class FairRecursiveMutex {
public:
    void lock() {
        std::unique_lock<std::mutex> lock(m);
        const std::thread::id me = std::this_thread::get_id();
        if (depth > 0 && owner == me) {
            ++depth;
            return;
        }
        const uint64_t ticket = nextTicket++;
        auto mine = [&] { return serving == ticket; };
        if (tWaitDeadline == Clock::time_point::max()) {
            turn.wait(lock, mine);
        } else if (!turn.wait_until(lock, tWaitDeadline, mine)) {
            abandoned.push_back(ticket); // a later ticket than the one served
            throw MtCoreBusy();
        }
        owner = me;
        depth = 1;
    }
    void unlock() {
        std::lock_guard<std::mutex> lock(m);
        if (--depth > 0) return;
        owner = std::thread::id();
        ++serving;
        for (auto it = std::find(abandoned.begin(), abandoned.end(), serving);
             it != abandoned.end(); it = std::find(abandoned.begin(), abandoned.end(), serving)) {
            abandoned.erase(it);
            ++serving;
        }
        turn.notify_all();
    }

private:
    std::mutex m;
    std::condition_variable turn;
    uint64_t nextTicket = 0;
    uint64_t serving = 0;            // the ticket that holds, or is next to take, the lock
    std::vector<uint64_t> abandoned; // tickets given up before their turn came
    std::thread::id owner;
    int depth = 0;
};

// The waiter of waitForPattern: at most one caller at a time.
struct CommandSynchronizer {
    bool waiting = false;
    unsigned awaitedId = 0;
    bool done = false;
    bool result = false;
    std::condition_variable doneSignal;
};

// ---- file-static engine state (one engine per process) ----
std::deque<QigCommand> sMyQueue;
std::mutex sMyMx;                  // engine lock: queue, ids, waiter, thread state
std::condition_variable sMyQItems; // a command was queued (or a wake-up)
std::thread sMyThread;
CommandSynchronizer myCmdSynchronizer;
bool sMyProcessing = false; // the render thread is processing sMyProcessingId
int sMyProcessingId = 0;
bool sMyThreadEnded = false;
size_t sMyQueuedBytes = 0; // the requestBytes of the queued commands

FairRecursiveMutex sMyRasterMx;  // raster lock
std::recursive_mutex sMyStateMx; // state lock
// Renderers, their registry and the fonts live for the whole process: the
// tables are never destroyed, so nothing is torn down under a late caller.
QiAlias& sMyCurrentPattern = *new QiAlias;
std::map<std::string, MtPatternRenderer*, LessCaseCmp>& sMyPatternMap =
    *new std::map<std::string, MtPatternRenderer*, LessCaseCmp>;
std::vector<MtPatternRenderer*>& sMyPatternRenderers = *new std::vector<MtPatternRenderer*>;
// Bytes of alias arguments that queued commands still hold after the table
// let go of them (the alias was redefined or removed). They count against the
// table's bound, so a client that redefines an alias and selects it again
// while renders are queued cannot pile up copies without end.
std::atomic<size_t> sMyHeldAliasBytes{0};

// One definition of an alias's arguments. It is never changed in place (a new
// definition replaces it whole), so a queued command shares it as it stood
// when the command was accepted.
struct AliasDefinition {
    AliasDefinition(const QiArgRetVal& a, size_t b) : args(a), bytes(b) {}
    ~AliasDefinition() {
        if (retired) sMyHeldAliasBytes -= bytes;
    }
    const QiArgRetVal args;
    const size_t bytes; // as counted in the table
    // Out of the table, its bytes counted in sMyHeldAliasBytes until the last
    // command holding it lets go. Set under the state lock before the table
    // drops its share.
    bool retired = false;
};

// An alias: its renderer and its arguments.
struct StoredAlias {
    MtPatternRenderer* renderer = nullptr;
    std::shared_ptr<AliasDefinition> definition;
    const QiArgRetVal& args() const { return definition->args; }
};
std::map<std::string, StoredAlias>& sMyAliasMap = *new std::map<std::string, StoredAlias>;
size_t sMyAliasBytes = 0; // names, keys and values of every alias

// The table lets go of an alias definition (state lock held): while commands
// still hold it, its bytes are counted as held.
void retireDefinition(StoredAlias& alias) {
    sMyAliasBytes -= alias.definition->bytes;
    if (alias.definition.use_count() > 1) {
        alias.definition->retired = true;
        sMyHeldAliasBytes += alias.definition->bytes;
    }
    alias.definition.reset(); // the last holder's release uncounts it
}
// Fonts by file, size and resolution: an engine built again reuses them.
std::map<std::string, QiFont*>& sMyFonts = *new std::map<std::string, QiFont*>;

// The version texts: one table per calling thread, so a caller reading its
// table is never overwritten by another thread asking again.
thread_local char sMyVersion[6][128];
thread_local const char* sMyVersionTable[6];

// ---- generator options ----
const char* const skOutputColor[] = {"RGB_8", "RGB_10", "YCbCr_8", "YCbCr_10", nullptr};
const char* const skColorMatrix[] = {
    "Rec601",  "Rec601 (compressed)",  "Rec709", "Rec709 (compressed)",
    "Rec2020", "Rec2020 (compressed)", nullptr};
const QiImageCoder::PixelFormat skOutputPixelFormats[] = {
    QiImageCoder::PixelFormat(0), QiImageCoder::PixelFormat(1), QiImageCoder::PixelFormat(4),
    QiImageCoder::PixelFormat(5)};
const QiImageCoder::ColorMatrix skOutputColorMatrix[] = {
    QiImageCoder::ColorMatrix(0), QiImageCoder::ColorMatrix(1), QiImageCoder::ColorMatrix(2),
    QiImageCoder::ColorMatrix(3), QiImageCoder::ColorMatrix(4), QiImageCoder::ColorMatrix(5)};

QiOptUiSettings ui(int x, int y, int w, int h) {
    return QiOptUiSettings(x, y, w, h, nullptr, nullptr, true);
}

QiOptRGB go_gatingColor("GatingColor", "RGB values to use when gating color components", 0, 0, 0,
                        true, ui(0, 60, -1, -1));
QiOptBool go_rGate("GateRed", "Set to gate the red color component", false, ui(160, 60, -1, -1));
QiOptBool go_gGate("GateGreen", "Set to gate the green color component", false,
                   ui(160, 85, -1, -1));
QiOptBool go_bGate("GateBlue", "Set to gate the blue color component", false, ui(160, 110, -1, -1));
QiOptEnum go_vFormat("VideoFormat", "The output resolution and timings to use", 0, nullptr,
                     ui(0, 0, 200, 24));
QiOptBool go_titling("OutputTitling", "Set Pattern Titling Options", false, ui(0, 30, -1, -1));
QiOptIntRo go_bitDepth("BitDepth", "The Bitdepth of the Generator", 0, ui(-1, -1, -1, -1));
QiOptIntRo go_blackLevel("BlackLevel", "The Black level", 0, ui(-1, -1, -1, -1));
QiOptIntRo go_whiteLevel("WhiteLevel", "The White level", 0, ui(-1, -1, -1, -1));
QiOptEnum go_colorspace("OutputColor", "The output colorspace and bit depth", 3, skOutputColor,
                        ui(0, 140, -1, -1));
QiOptBool go_bVideoMute("VideoMute", "Mutes the video to a flat 25% grey raster", false,
                        ui(0, 170, -1, -1));
QiOptEnum go_colorMatrix("ColorEncoding", "The RGB/YCC conversion matrix", 3, skColorMatrix,
                         ui(200, 140, -1, -1));

QiOption* myOptions[] = {&go_gatingColor, &go_rGate,      &go_gGate,      &go_bGate,
                         &go_vFormat,     &go_titling,    &go_bitDepth,   &go_blackLevel,
                         &go_whiteLevel,  &go_colorspace, &go_bVideoMute, &go_colorMatrix,
                         nullptr};

// Takes the reported colour matrix and pixel layout from what the raster
// applies, so that the settings a client reads are the ones the card gets. A
// matrix above 5 codes as Rec709; a layout without a name leaves the stored
// one. Raster and state locks held.
void adoptRasterColour(MtCore& core) {
    const unsigned m = static_cast<unsigned>(core.raster->coder.getColorMatrix());
    core.colorEncoding = m <= 5 ? m : 2;
    const QiImageCoder::PixelFormat applied = core.raster->getOutputPixelFormat();
    for (unsigned i = 0; i < 4; ++i)
        if (skOutputPixelFormats[i] == applied) core.outputColor = i;
}

// The mute level: 25 % grey in video levels, 70 at 8 bits, scaled to the raster's depth.
constexpr int kMuteLevel8 = 70;

void ThreadMain(MtCore* core) {
    core->mainLoop();
}

const char* boolText(bool b) {
    return b ? "true" : "false";
}

// Index of `name` in the engine's format list, or -1; a client's choice is
// matched ignoring case.
int formatIndex(char** names, int count, const char* name, bool ignoreCase = false) {
    if (!name) return -1;
    for (int i = 0; i < count; ++i)
        if (names[i] &&
            (ignoreCase ? qi::equalsNoCase(names[i], name) : std::strcmp(names[i], name) == 0))
            return i;
    return -1;
}

void copyText(char* dst, const char* src) {
    std::snprintf(dst, 128, "%s", src ? src : "");
}

// The keys and values of `args`, and `perEntry` more for each entry.
size_t textBytes(const QiArgRetVal& args, size_t perEntry = 0) {
    size_t bytes = 0;
    for (const auto& kv : args)
        bytes += kv.first.size() + kv.second.size() + perEntry;
    return bytes;
}

// What an alias costs the table: its name, keys and values.
size_t aliasBytes(const std::string& name, const QiArgRetVal& args) {
    return name.size() + textBytes(args);
}

// What a queued request costs: its keys and values, and the map's own
// share of each entry.
size_t requestBytes(const QiArgRetVal& request) {
    return textBytes(request, 64);
}

} // namespace

// ------------------------------------------------------------ QigInterface

QigInterface::~QigInterface() = default;

bool QigInterface::update() {
    sMyQItems.notify_all();
    return true;
}

// ------------------------------------------------------- construction

MtCore::WaitLimit::WaitLimit(Clock::time_point deadline) : previous(tWaitDeadline) {
    tWaitDeadline = std::min(deadline, previous);
}

MtCore::WaitLimit::~WaitLimit() {
    tWaitDeadline = previous;
}

MtCore::MtCore(QiRaster* r, MtCoreStatus* s, const char* dataPath) : raster(r), status(s) {
    irInterface = nullptr;
    rasterInterface = new QigInterface(this);
    {
        std::lock_guard<FairRecursiveMutex> rl(sMyRasterMx);
        raster->setInterface(rasterInterface);
        go_blackLevel.value = raster->getBlackLevel();
        go_whiteLevel.value = raster->getWhiteLevel();
        go_bitDepth.value = raster->bits;
    }
    rescanFormats(); // also takes the matrix and layout the back-end chose
    videoMute = false;

    if (dataPath) {
        dataDir = strdup(dataPath);
        datafilesDir = strdup(qi::formatC("%s/datafiles", dataPath).c_str());
    } else {
        dataDir = strdup(".");
        datafilesDir = strdup(".");
    }
    int dpi = raster->getHeight() * 144 / 1080;
    struct FontFile {
        const char* file;
        int points;
    } const fontFiles[5] = {{"eterna.ttf", 16},
                            {"eterna.ttf", 24},
                            {"eterna.ttf", 32},
                            {"plexifont_ot.otf", 72},
                            {"spincycle_3d_ot.otf", 72}};
    for (int i = 0; i < 5; ++i) {
        std::string path = qi::formatC("%s/%s", datafilesDir, fontFiles[i].file);
        std::string key = qi::formatC("%s|%d|%d", path.c_str(), fontFiles[i].points, dpi);
        std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
        QiFont*& font = sMyFonts[key];
        if (!font) font = new QiFont(path.c_str(), fontFiles[i].points, dpi);
        fonts[i] = font;
    }
    titling = false;
    gatingRed = gatingGreen = gatingBlue = 0;
    gateRed = gateGreen = gateBlue = false;
    nextCommandId = static_cast<unsigned>(random()) & 0x7FFFFFFFu;
    if (nextCommandId == 0) nextCommandId = 1;

    // The render thread's first step takes the engine lock, so it starts only
    // once every built-in is registered and initialised.
    std::lock_guard<std::mutex> lock(sMyMx);
    sMyThreadEnded = false;
    sMyThread = std::thread(ThreadMain, this);
    MtRegisterBuiltinPatterns(this);
}

MtCore::~MtCore() {
    // Shut-down does not wait for a backlog: the commands still queued are
    // dropped, the one being processed finishes, then the stop command ends
    // the render thread.
    size_t dropped;
    {
        std::lock_guard<std::mutex> lock(sMyMx);
        dropped = sMyQueue.size();
        sMyQueue.clear();
        sMyQueuedBytes = 0;
        const unsigned stopValue = nextCommandId;
        QiArgRetVal pill;
        pill.set("CyanidePill", qi::formatC("%u", stopValue).c_str());
        const int id = static_cast<int>(nextCommandId);
        nextCommandId = nextCommandId >= 0x7FFFFFFFu ? 1u : nextCommandId + 1;
        sMyQueue.emplace_back(id, false, QiAlias(nullptr, pill));
        sMyQueue.back().stop = true;
    }
    sMyQItems.notify_all();
    if (dropped)
        gOutput->trace(QiOutput::Info, "%s: %zu queued commands dropped\n", "~MtCore", dropped);
    if (sMyThread.joinable()) sMyThread.join();

    free(datafilesDir);
    free(dataDir);
    datafilesDir = dataDir = nullptr;
    {
        std::lock_guard<FairRecursiveMutex> rl(sMyRasterMx);
        raster->setInterface(nullptr);
    }
    {
        std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
        go_vFormat.values = nullptr;
        go_vFormat.count = 0;
        for (int i = 0; i < formatCount; ++i)
            free(formatNames[i]);
        free(formatNames);
        formatNames = nullptr;
        formatCount = 0;
        // The next engine of this process starts from a clean slate.
        sMyCurrentPattern = QiAlias();
    }
    {
        std::lock_guard<std::mutex> lock(sMyMx);
        sMyQueue.clear();
        sMyQueuedBytes = 0;
    }
    delete rasterInterface;
    rasterInterface = nullptr;
}

// ------------------------------------------------------------- commands

int MtCore::asyncSetGen(const QiArgRetVal& request) {
    return queueCommand(request);
}

int MtCore::asyncSetPattern(const char* name) {
    QiArgRetVal request;
    request.set("Pattern", name ? name : "");
    return asyncSetGen(request);
}

int MtCore::queueCommand(const QiArgRetVal& request) {
    // The selection is fixed when the request is accepted: "Pattern" names a
    // registered renderer, else an alias, whose arguments are taken as they
    // stand now, so a later change of the alias does not alter or cancel it.
    QigCommand command(0, false, QiAlias(nullptr, request));
    if (const char* pattern = request.Pattern()) {
        std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
        command.alias.renderer = getPatternRenderer(pattern);
        if (!command.alias.renderer) {
            auto it = sMyAliasMap.find(pattern);
            if (it != sMyAliasMap.end()) {
                command.alias.renderer = it->second.renderer;
                // Shares the definition; its bytes stay counted while held.
                command.aliasArgs =
                    std::shared_ptr<const QiArgRetVal>(it->second.definition, &it->second.args());
            } else {
                command.unknownPattern = true;
            }
        }
    }
    command.requestBytes = requestBytes(request);
    int id;
    bool tooLarge = false;
    {
        std::lock_guard<std::mutex> lock(sMyMx);
        tooLarge = sMyQueuedBytes + command.requestBytes > kMaxQueuedBytes;
        if (sMyQueue.size() >= static_cast<size_t>(kMaxQueuedCommands) || tooLarge) {
            id = -1;
        } else {
            sMyQueuedBytes += command.requestBytes;
            id = static_cast<int>(nextCommandId);
            // Ids stay positive: a client must never mistake one for the -1 error reply.
            nextCommandId = nextCommandId >= 0x7FFFFFFFu ? 1u : nextCommandId + 1;
            // The request and its selection: the current arguments fill the
            // rest when it is processed.
            command.id = id;
            sMyQueue.push_back(std::move(command));
        }
    }
    if (id < 0 && tooLarge) {
        gOutput->trace(QiOutput::Warning,
                       "%s: the queued requests hold %zu bytes, a request of %zu bytes refused\n",
                       "asyncSetGen", kMaxQueuedBytes, command.requestBytes);
        return -1;
    }
    if (id < 0) {
        gOutput->trace(QiOutput::Warning, "%s: %d commands queued, request refused\n",
                       "asyncSetGen", kMaxQueuedCommands);
        return -1;
    }
    sMyQItems.notify_all();
    return id;
}

bool MtCore::waitForPattern(bool& result, int id) {
    std::unique_lock<std::mutex> lock(sMyMx);
    if (myCmdSynchronizer.waiting || sMyThreadEnded) return false;
    bool pending = sMyProcessing && sMyProcessingId == id;
    for (const QigCommand& c : sMyQueue) {
        if (pending) break;
        if (c.id == id) pending = true;
    }
    if (!pending) return false;
    myCmdSynchronizer.waiting = true;
    myCmdSynchronizer.done = false;
    myCmdSynchronizer.awaitedId = static_cast<unsigned>(id);
    myCmdSynchronizer.doneSignal.wait(lock,
                                      [] { return myCmdSynchronizer.done || sMyThreadEnded; });
    bool done = myCmdSynchronizer.done;
    result = myCmdSynchronizer.result;
    myCmdSynchronizer.waiting = false;
    return done;
}

void MtCore::mainLoop() {
    Clock::time_point lastTime = Clock::now();
    std::unique_lock<std::mutex> lock(sMyMx);
    for (;;) {
        bool stepDue = false;
        if (sMyQueue.empty()) {
            uint64_t period = 0;
            {
                std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
                if (sMyCurrentPattern.renderer) period = sMyCurrentPattern.renderer->getPeriod();
            }
            if (period != 0) {
                lastTime += std::chrono::milliseconds(period);
                // Only a time-out steps the frame: spurious wake-ups and commands do not.
                if (!sMyQItems.wait_until(lock, lastTime, [] { return !sMyQueue.empty(); })) {
                    lastTime = Clock::now();
                    stepDue = true;
                }
            } else {
                sMyQItems.wait(lock, [] { return !sMyQueue.empty(); });
            }
        }
        if (!sMyQueue.empty()) {
            QigCommand command = std::move(sMyQueue.front());
            sMyQueue.pop_front();
            sMyQueuedBytes -= command.requestBytes;
            sMyProcessing = true;
            sMyProcessingId = command.id;
            lock.unlock();
            bool rendered = false, result = true;
            bool keepRunning = processCommand(command, rendered, result);
            lock.lock();
            sMyProcessing = false;
            if (!keepRunning) {
                sMyThreadEnded = true;
                myCmdSynchronizer.doneSignal.notify_all();
                return;
            }
            // A render restarts the animation schedule from its end.
            if (rendered) lastTime = Clock::now();
            if (myCmdSynchronizer.waiting &&
                myCmdSynchronizer.awaitedId == static_cast<unsigned>(command.id)) {
                myCmdSynchronizer.result = result;
                myCmdSynchronizer.done = true;
                myCmdSynchronizer.doneSignal.notify_all();
            }
            continue;
        }
        if (stepDue) {
            std::lock_guard<FairRecursiveMutex> rl(sMyRasterMx);
            raster->showFrame(-1);
        }
    }
}

bool MtCore::processCommand(QigCommand& command, bool& rendered, bool& result) {
    if (command.stop) {
        unsigned value = 0;
        command.alias.args.find("CyanidePill", &value);
        gOutput->trace(QiOutput::Minutiae, "Cyanide-0x%08x\n", value);
        return false;
    }
    std::lock_guard<FairRecursiveMutex> rl(sMyRasterMx);
    const QiArgRetVal& request = command.alias.args;
    const char* pattern = request.Pattern();
    // A named pattern or alias was resolved when the command was queued.
    // Without one (or with a name that is neither) the current pattern goes
    // on, and the current arguments, as they stand after every command
    // before this one, fill what the request lacks.
    QiAlias next;
    bool newPattern = false;
    const bool unknown = command.unknownPattern;
    if (pattern && !unknown) {
        next.renderer = command.alias.renderer;
        next.args = request;
        if (command.aliasArgs) next.args.merge(*command.aliasArgs, false);
        command.aliasArgs.reset(); // merged: the alias's definition is no longer held
        newPattern = true;         // every key is the command's own choice
    } else {
        std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
        next.renderer = sMyCurrentPattern.renderer;
        if (unknown) {
            // A name that selects nothing changes no pattern: of its
            // request only the generator options count.
            for (const auto& kv : request)
                if (isOption(kv.first.c_str(), myOptions)) next.args.set(kv.first, kv.second);
        } else {
            next.args = request;
        }
        next.args.merge(sMyCurrentPattern.args, false);
    }
    if (unknown)
        gOutput->trace(QiOutput::Warning,
                       "%s: no pattern or alias named '%s'; the current pattern stays\n",
                       "mainLoop", pattern);
    else if (next.renderer && validateOptions(request, next.renderer))
        newPattern = true;

    // Without a pattern of its own, the command chose only its request's
    // keys; the rest were carried over.
    bool rerender = setGenOpts(next.args, pattern && !unknown ? nullptr : &request);
    QiAlias previous; // current again if the render fails
    {
        // The renderer and its arguments become current together.
        std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
        previous = std::move(sMyCurrentPattern);
        sMyCurrentPattern = next;
    }
    gOutput->trace(QiOutput::Minutiae, "%s: setGenOpts? rerender %s\n", "mainLoop",
                   boolText(rerender));
    result = true;
    if (next.renderer && (rerender || newPattern)) {
        gOutput->trace(QiOutput::Minutiae, "%s: (rerender %s) (newPattern %s)\n", "mainLoop",
                       boolText(rerender), boolText(newPattern));
        rendered = true;
        bool shown = false;
        if (!setPattern(next.renderer, next.args, &shown)) {
            result = false;
            restorePattern(previous, next.args);
        } else if (!shown) {
            // The back-end has said why. The pattern was drawn and stays
            // current: the next frame the card takes shows it.
            result = false;
        }
    }
    return true;
}

void MtCore::restorePattern(QiAlias& previous, const QiArgRetVal& applied) {
    std::lock_guard<FairRecursiveMutex> rl(sMyRasterMx);
    {
        std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
        // The generator options the command applied stay applied: the
        // restored arguments carry them, and name the format, layout and
        // matrix that run.
        for (const auto& kv : applied)
            if (isOption(kv.first.c_str(), myOptions)) previous.args.set(kv.first, kv.second);
        const char* running = raster->getCurrentFormat();
        if (previous.args.find("VideoFormat") && running) previous.args.set("VideoFormat", running);
        if (previous.args.find("OutputColor"))
            previous.args.set("OutputColor", go_colorspace.getName(outputColor));
        if (previous.args.find("ColorEncoding"))
            previous.args.set("ColorEncoding", go_colorMatrix.getName(colorEncoding));
        sMyCurrentPattern = previous;
    }
    // The failed render may have replaced the frames the card shows (a frame
    // count, a first frame): the pattern is drawn again, so the card shows
    // its picture and an animation steps through its own frames.
    if (previous.renderer && !setPattern(previous.renderer, previous.args))
        gOutput->trace(QiOutput::Warning, "%s: %s could not be drawn again\n", "mainLoop",
                       previous.args.Pattern() ? previous.args.Pattern() : "");
}

bool MtCore::setPattern(MtPatternRenderer* renderer, QiArgRetVal& args, bool* shown) {
    std::lock_guard<FairRecursiveMutex> rl(sMyRasterMx);
    if (shown) *shown = false;
    const char* name = args.Pattern();
    if (!name) name = "";
    Clock::time_point t0 = Clock::now();
    gOutput->trace(QiOutput::Minutiae, "%s: rendering %s (%dx%d)\n", "setPattern", name,
                   raster->getWidth(), raster->getHeight());
    if (renderer) {
        if (status) status->renderStarted();
        bool drawn = true;
        // A picture steps through its ring in order unless its renderer says
        // otherwise.
        raster->setFrameSequence({});
        try {
            renderer->render(this, raster, args);
        } catch (const std::exception& e) {
            drawn = false;
            gOutput->trace(QiOutput::Warning, "%s: rendering %s failed (%s)\n", "setPattern", name,
                           e.what());
        } catch (...) {
            drawn = false;
            gOutput->trace(QiOutput::Warning, "%s: rendering %s failed\n", "setPattern", name);
        }
        if (status) status->renderFinished();
        if (!drawn) return false; // the card keeps the frame it shows
    }
    Clock::time_point t1 = Clock::now();
    gOutput->trace(QiOutput::Info, "pattern rendered %s in time %g\n", name, secondsSince(t0, t1));
    if (status) status->showStarted();
    Clock::time_point t2 = Clock::now();
    const bool taken = raster->showFrame(-1);
    if (shown) *shown = taken;
    Clock::time_point t3 = Clock::now();
    if (status) status->showFinished();
    gOutput->trace(QiOutput::Info, "raster rendered %s in time %g\n", name, secondsSince(t2, t3));
    return true;
}

bool MtCore::onKeyseq(const char* keys) {
    QiAlias current;
    {
        std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
        current = sMyCurrentPattern;
    }
    if (!current.renderer) return true;
    return current.renderer->onKey(keys ? keys : "", current.args);
}

void MtCore::setIrInterface(MtcIrIo* io) {
    irInterface = io;
}

// ---------------------------------------------------- generator options

bool MtCore::applyGating() {
    uint8_t mask = (gateRed ? 1 : 0) | (gateGreen ? 2 : 0) | (gateBlue ? 4 : 0);
    return raster->coder.setColorGating(mask, gatingRed, gatingGreen, gatingBlue);
}

bool MtCore::setGenOpts(QiArgRetVal& args, const QiArgRetVal* chosen) {
    std::lock_guard<FairRecursiveMutex> rl(sMyRasterMx);
    std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
    // A key the command chose itself is applied whatever the engine stood at
    // before; one carried over from the current arguments only describes the
    // state it was made in.
    auto isChosen = [&](const char* key) { return !chosen || chosen->find(key); };
    bool rerender = raster->rerenderP();
    // Report what the raster applies, also when the back-end took up a change
    // of the device (a layout or mode set outside the engine).
    adoptRasterColour(*this);

    bool b = titling;
    if (go_titling.getOption(args, b) && b != titling) {
        titling = b;
        rerender = true;
    }

    bool gatingChanged = false;
    b = videoMute;
    if (go_bVideoMute.getOption(args, b) && b != videoMute) {
        videoMute = b;
        if (videoMute) {
            // Gate values are codes at the raster's depth: scale the 8-bit
            // level so the mute is the same grey at 10 bits (280 of 1023).
            unsigned level = raster->bits > 8 ? kMuteLevel8 << (raster->bits - 8) : kMuteLevel8;
            if (raster->coder.setColorGating(7, level, level, level)) rerender = true;
        } else {
            gatingChanged = true;
        }
    }
    b = gateRed;
    if (go_rGate.getOption(args, b) && b != gateRed) gateRed = b, gatingChanged = true;
    b = gateGreen;
    if (go_gGate.getOption(args, b) && b != gateGreen) gateGreen = b, gatingChanged = true;
    b = gateBlue;
    if (go_bGate.getOption(args, b) && b != gateBlue) gateBlue = b, gatingChanged = true;
    // The gating colour changes only with all three components at hand; the
    // option gives its defaults for the others, which are no choice of the client.
    unsigned r = 0, g = 0, bl = 0;
    if (go_gatingColor.getOption(args, r, g, bl)) {
        // Gating colours are codes at the raster's depth, held at its largest code.
        const unsigned top = static_cast<unsigned>((uint64_t(1) << raster->bits) - 1);
        r = std::min(r, top), g = std::min(g, top), bl = std::min(bl, top);
        if (r != gatingRed || g != gatingGreen || bl != gatingBlue) {
            gatingRed = r, gatingGreen = g, gatingBlue = bl;
            if (gateRed || gateGreen || gateBlue) gatingChanged = true;
        }
    }
    // While the video is muted the mute gating stays; the stored gates apply
    // when the mute is lifted.
    if (gatingChanged && !videoMute && applyGating()) rerender = true;

    // A pixel layout the raster takes becomes the reported one; false when the
    // back-end keeps its own.
    auto applyLayout = [&](unsigned oc) {
        raster->setOutputPixelFormat(skOutputPixelFormats[oc]);
        if (raster->getOutputPixelFormat() != skOutputPixelFormats[oc]) return false;
        outputColor = oc;
        rerender = true;
        return true;
    };
    const bool layoutChosen = args.find("OutputColor") && isChosen("OutputColor");
    const bool matrixChosen = args.find("ColorEncoding") && isChosen("ColorEncoding");

    // Video format.
    if (formatCount > 0) {
        const char* current = raster->getCurrentFormat();
        const bool inStep = videoFormat < static_cast<unsigned>(formatCount) && current &&
                            std::strcmp(formatNames[videoFormat], current) == 0;
        const int currentIndex = formatIndex(formatNames, formatCount, current);
        // A device's own name for a listed format selects that entry, and
        // the arguments name it as listed.
        const char* name = nullptr;
        if (isChosen("VideoFormat") && args.find("VideoFormat", &name) &&
            !qi::equalsNoCase(name, "toggle") &&
            formatIndex(formatNames, formatCount, name, true) < 0) {
            const char* listed = raster->listedFormatName(name);
            if (formatIndex(formatNames, formatCount, listed) >= 0)
                args.set("VideoFormat", std::string(listed));
        }
        // A choice (a name, or "toggle" from the format that runs) is made
        // against the format the card runs now.
        unsigned requested = currentIndex >= 0 ? currentIndex : videoFormat;
        const bool asked = args.find("VideoFormat") && isChosen("VideoFormat") &&
                           go_vFormat.getOption(args, requested);
        std::string target = current ? current : "";
        bool change = false;
        if (asked && requested < static_cast<unsigned>(formatCount) &&
            (!current || std::strcmp(formatNames[requested], current) != 0)) {
            target = formatNames[requested];
            change = true;
        } else if (!inStep) {
            // The raster's format was changed outside the engine: adopt it,
            // with the matrix and layout it applies. A format carried over
            // from before the change no longer says what runs; one the
            // command names is the one that runs, and stays.
            if (!asked) args.remove("VideoFormat");
            change = true;
        }
        if (change) {
            bool ok = raster->setRasterFormat(target.c_str());
            unsigned oc = outputColor;
            if (!ok && asked && layoutChosen && go_colorspace.getOption(args, oc) &&
                oc != outputColor && oc < 4) {
                // The running layout may be one the new format cannot show;
                // the request names another, so apply it first and try again.
                if (applyLayout(oc)) ok = raster->setRasterFormat(target.c_str());
            }
            if (ok) rerender = true;
            if (ok || !inStep) {
                adoptRasterColour(*this);
                // The matrix that comes with the format, unless the command
                // chose one itself (applied below).
                if (!matrixChosen) args.set("ColorEncoding", skColorMatrix[colorEncoding]);
                gOutput->trace(QiOutput::Minutiae, "format changed, color coding is now %s\n",
                               skColorMatrix[colorEncoding]);
            }
            int now = formatIndex(formatNames, formatCount, raster->getCurrentFormat());
            if (now >= 0) videoFormat = static_cast<unsigned>(now);
        }
        // The current arguments fill later requests: they name the format
        // that runs, so a change the card refused does not come back with a
        // command that does not ask for it.
        const char* running = raster->getCurrentFormat();
        if (args.find("VideoFormat") && running) args.set("VideoFormat", running);
    }

    // Pixel layout: a chosen one is applied when the card runs another; the
    // current arguments then name the one that runs.
    unsigned oc = outputColor;
    if (layoutChosen && go_colorspace.getOption(args, oc) && oc < 4 &&
        (oc != outputColor || raster->getOutputPixelFormat() != skOutputPixelFormats[oc]))
        applyLayout(oc);
    if (args.find("OutputColor")) args.set("OutputColor", go_colorspace.getName(outputColor));

    // Colour matrix, likewise.
    unsigned ce = colorEncoding;
    if (matrixChosen && go_colorMatrix.getOption(args, ce) && ce < 6 &&
        (ce != colorEncoding || raster->coder.getColorMatrix() != skOutputColorMatrix[ce])) {
        if (raster->coder.setColorMatrix(skOutputColorMatrix[ce])) {
            colorEncoding = ce;
            rerender = true;
            gOutput->trace(QiOutput::Minutiae, "option processed, color matrix is now %s\n",
                           skColorMatrix[ce]);
        }
    }
    if (args.find("ColorEncoding"))
        args.set("ColorEncoding", go_colorMatrix.getName(colorEncoding));
    return rerender;
}

bool MtCore::isOption(const char* key, QiOption* const* list) {
    if (!key || !list) return false;
    for (; *list; ++list) {
        const QiOption* o = *list;
        if (!o->name) continue;
        if (o->type == QiOption::RGB) {
            if (std::strncmp(key, o->name, std::strlen(o->name)) == 0) return true;
        } else if (std::strcmp(key, o->name) == 0) {
            return true;
        }
    }
    return false;
}

bool MtCore::validateOptions(const QiArgRetVal& request, MtPatternRenderer* renderer) {
    gOutput->trace(QiOutput::Info, "%s: renderer is %p\n", "validateOptions",
                   static_cast<void*>(renderer));
    bool result = false;
    for (const auto& kv : request) {
        const char* key = kv.first.c_str();
        if (kv.first == "Pattern" || isOption(key, myOptions)) continue;
        if (renderer && isOption(key, renderer->getOptions())) {
            result = true;
            continue;
        }
        gOutput->trace(QiOutput::Info, "warning: %s: unknown option: '%s'\n",
                       renderer ? renderer->getSafeName() : "", key);
    }
    return result;
}

bool MtCore::getGenSettings(QiArgRetVal& out) {
    std::lock_guard<FairRecursiveMutex> rl(sMyRasterMx);
    std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
    out.set("OutputColor", go_colorspace.getName(outputColor));
    out.set("GatingColor_Red", qi::formatC("%u", gatingRed));
    out.set("GatingColor_Green", qi::formatC("%u", gatingGreen));
    out.set("GatingColor_Blue", qi::formatC("%u", gatingBlue));
    out.set("GateRed", gateRed ? "1" : "0");
    out.set("GateGreen", gateGreen ? "1" : "0");
    out.set("GateBlue", gateBlue ? "1" : "0");
    out.set("OutputTitling", titling ? "1" : "0");
    out.set("VideoMute", videoMute ? "1" : "0");
    const char* current = raster->getCurrentFormat();
    out.set("VideoFormat", current ? current : "");
    out.set("ColorEncoding", go_colorMatrix.getName(colorEncoding));
    return true;
}

bool MtCore::getGenOpts(std::vector<QiArgRetVal>& out) {
    std::lock_guard<FairRecursiveMutex> rl(sMyRasterMx);
    std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
    for (QiOption* const* o = myOptions; *o; ++o) {
        QiArgRetVal record;
        (*o)->getParameters(record);
        out.push_back(record);
    }
    QiArgRetVal settings;
    getGenSettings(settings);
    out.push_back(settings);
    out.push_back(sMyCurrentPattern.args);
    return true;
}

// ------------------------------------------------ registry and aliases

bool MtCore::addPattern(MtPatternRenderer* renderer) {
    if (!renderer) return false;
    {
        std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
        sMyPatternRenderers.push_back(renderer);
        std::string name = renderer->getSafeName();
        auto it = sMyPatternMap.find(name);
        if (it != sMyPatternMap.end())
            it->second = renderer; // the key keeps its first letter case
        else
            sMyPatternMap.emplace(name, renderer);
    }
    // Outside the state lock: a renderer's initialise may scan folders and add aliases.
    renderer->initialize(this);
    return true;
}

MtPatternRenderer* MtCore::getPatternRenderer(const char* name) {
    if (!name) return nullptr;
    std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
    auto it = sMyPatternMap.find(name);
    return it == sMyPatternMap.end() ? nullptr : it->second;
}

bool MtCore::addAlias(const char* name, const QiArgRetVal& args) {
    const char* pattern = args.Pattern();
    if (!pattern) {
        gOutput->trace(QiOutput::Info, "makeAlias: Couldn't find name for pattern\n");
        return false;
    }
    MtPatternRenderer* renderer = getPatternRenderer(pattern);
    if (!renderer) {
        gOutput->trace(QiOutput::Info, "makeAlias: Couldn't find renderer for '%s'\n", pattern);
        return false;
    }
    if (!name) name = "";
    const std::string key = name;
    const size_t bytes = aliasBytes(key, args);
    std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
    auto it = sMyAliasMap.find(key);
    const bool replacing = it != sMyAliasMap.end();
    // A definition it replaces frees its bytes only when no queued command holds it.
    const size_t freed =
        replacing && it->second.definition.use_count() == 1 ? it->second.definition->bytes : 0;
    const size_t count = sMyAliasMap.size() + (replacing ? 0 : 1);
    const size_t held = sMyHeldAliasBytes;
    if (count > kMaxAliases || sMyAliasBytes + held - freed + bytes > kMaxAliasBytes) {
        gOutput->trace(QiOutput::Warning,
                       "makeAlias: alias table full (%zu aliases, %zu bytes, %zu more held by "
                       "queued commands), '%s' refused\n",
                       sMyAliasMap.size(), sMyAliasBytes, held, name);
        return false;
    }
    gOutput->trace(QiOutput::Info, "adding alias for %s\n", name);
    if (replacing) retireDefinition(it->second);
    sMyAliasBytes += bytes;
    sMyAliasMap[key] = StoredAlias{renderer, std::make_shared<AliasDefinition>(args, bytes)};
    return true;
}

bool MtCore::addCurrentAlias(const char* name, bool withPattern, bool withGenerator) {
    QiArgRetVal map;
    if (withPattern) {
        std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
        map.merge(sMyCurrentPattern.args, false);
    }
    if (withGenerator) {
        QiArgRetVal settings;
        getGenSettings(settings);
        map.merge(settings, false);
    }
    return addAlias(name, map);
}

bool MtCore::removeAlias(const char* name) {
    std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
    auto it = name ? sMyAliasMap.find(name) : sMyAliasMap.end();
    if (it == sMyAliasMap.end()) {
        gOutput->trace(QiOutput::Info, "removeAlias: no such alias as '%s'\n", name ? name : "");
        return true;
    }
    retireDefinition(it->second);
    sMyAliasMap.erase(it);
    return true;
}

bool MtCore::removeAliasesByPrefix(const char* prefix) {
    std::string p = prefix ? prefix : "";
    std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
    for (auto it = sMyAliasMap.begin(); it != sMyAliasMap.end();) {
        if (it->first.compare(0, p.size(), p) == 0) {
            retireDefinition(it->second);
            it = sMyAliasMap.erase(it);
        } else {
            ++it;
        }
    }
    return true;
}

void MtCore::dumpAliases() {
    std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
    for (const auto& a : sMyAliasMap) {
        const QiArgRetVal& args = a.second.args();
        std::string line =
            qi::formatC("Alias(%s) => %s ", a.first.c_str(), args.Pattern() ? args.Pattern() : "");
        for (const auto& kv : args)
            line += qi::formatC("{%s %s} ", kv.first.c_str(), kv.second.c_str());
        gOutput->trace(QiOutput::Info, "%s\n", line.c_str());
    }
}

bool MtCore::getPatList(QiArgRetVal& out) {
    std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
    for (const auto& p : sMyPatternMap)
        out.set(p.first, p.second->getRevision());
    for (const auto& a : sMyAliasMap)
        out.set(a.first,
                qi::formatC("Alias/%s", a.second.renderer ? a.second.renderer->getSafeName() : ""));
    return true;
}

bool MtCore::getPatOpts(const char* name, std::vector<QiArgRetVal>& out) {
    MtPatternRenderer* renderer = getPatternRenderer(name);
    if (!renderer) {
        gOutput->trace(QiOutput::Info, "getPatternOpts: no renderer for '%s'\n", name ? name : "");
        return false;
    }
    for (QiOption* const* o = renderer->getOptions(); *o; ++o) {
        QiArgRetVal record;
        (*o)->getParameters(record);
        out.push_back(record);
    }
    return true;
}

bool MtCore::getPatSettings(QiArgRetVal& out) {
    std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
    out.clear();
    out.merge(sMyCurrentPattern.args, false);
    return true;
}

void MtCore::renderTitle(const char* title, const char* subtitle, QiImage* image) {
    bool on;
    {
        std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
        on = titling;
    }
    if (!on || !image) return;
    std::lock_guard<FairRecursiveMutex> rl(sMyRasterMx);
    uint64_t colour = image->makeGrey(static_cast<uint64_t>(235) << (image->bits - 8));
    int x = raster->getWidth() * 5 / 100;
    int base = raster->getHeight() * 40 / 1080;
    int w = 0, h = 0;
    image->renderText(fonts[1], title ? title : "", colour, x, base, w, h, false, QiImage::TopLeft);
    const char* format = raster->getCurrentFormat();
    image->renderText(fonts[1], format ? format : "", colour, x, base + h, w, h, false,
                      QiImage::TopLeft);
    if (subtitle)
        image->renderText(fonts[1], subtitle, colour, x, base + 2 * h, w, h, false,
                          QiImage::TopLeft);
}

bool MtCore::rescanFormats() {
    std::lock_guard<FairRecursiveMutex> rl(sMyRasterMx);
    raster->rescanFormats();
    int count = 0, current = 0;
    char** names = nullptr;
    raster->getSupportedFormats(count, current, names);
    if (!names || count < 0) count = 0;
    std::lock_guard<std::recursive_mutex> sl(sMyStateMx);
    char** old = formatNames;
    int oldCount = formatCount;
    formatNames = names;
    formatCount = count;
    go_vFormat.values = formatNames;
    go_vFormat.count = static_cast<uint32_t>(formatCount);
    if (current < 0 || current >= count) current = 0;
    go_vFormat.defaultIndex = static_cast<uint32_t>(current);
    // The engine stands at the format the raster runs: the list's default
    // entry may be another one, and the next command would then take the
    // difference for a format changed behind its back and drop its request's
    // colour matrix.
    const int running = formatIndex(formatNames, formatCount, raster->getCurrentFormat());
    videoFormat = static_cast<unsigned>(running >= 0 ? running : current);
    // A rescan may have the back-end choose its format, matrix and layout again.
    adoptRasterColour(*this);
    for (int i = 0; i < oldCount; ++i)
        free(old[i]);
    free(old);
    return true;
}

const char** MtCore::getVersion() {
    for (int i = 0; i < 6; ++i)
        sMyVersionTable[i] = sMyVersion[i];
    utsname u;
    std::memset(&u, 0, sizeof u);
    uname(&u);
    copyText(sMyVersion[0], qi::formatC("\"%s\"", u.sysname).c_str());
    copyText(sMyVersion[1], "315M");
    {
        std::lock_guard<FairRecursiveMutex> rl(sMyRasterMx);
        copyText(sMyVersion[2], raster->getVersion());
    }
    const char* release = std::strchr(u.release, '-');
    release = release ? release + 1 : u.release;
    std::string word(u.version);
    word = word.substr(0, word.find(' '));
    copyText(sMyVersion[3], qi::formatC("%s [%s]", release, word.c_str()).c_str());
    copyText(sMyVersion[4], serial ? serial : "");
    copyText(sMyVersion[5], status ? status->applicationVersion() : "Application-Version");
    return sMyVersionTable;
}

bool MtCore::getEdid(unsigned char*& data, unsigned long& length) {
    std::lock_guard<FairRecursiveMutex> rl(sMyRasterMx);
    return raster->getEdid(data, length);
}

bool MtCore::saveImageAsPng(const char* path) {
    gOutput->trace(QiOutput::Info, "%s: saving raster to %s\n", "saveImageAsPng", path ? path : "");
    std::lock_guard<FairRecursiveMutex> rl(sMyRasterMx);
    return raster->writePng(path);
}
