// MtController: how the control panel drives a generator.
//
// The panel never talks to an engine directly. `MtCoreController` forwards to
// the in-process `MtCore`; `MtXmlController` addresses a generator found on
// the network through an XML-RPC client. Every controller also owns the
// calibration sequence (MtCtlObject.h) and walks it with its own virtual
// operations, so the walk works with either implementation.
//
// Controllers are used on the GUI thread only. Callers pass a command id to
// waitForPattern only when setGen returned one greater than 0.
#pragma once

#include "MtCtlObject.h"
#include "QiArgRetVal.h"

#include <xmlrpcpp/XmlRpcClient.h>

#include <vector>

class MtCore;
namespace XmlRpc {
class XmlRpcValue;
}

class MtController {
public:
    // Builds the calibration sequence: brightness, contrast, colour,
    // greyscale, colour gamut, contrast ratio, geometry, proofing.
    MtController();
    virtual ~MtController();
    MtController(const MtController&) = delete;
    MtController& operator=(const MtController&) = delete;

    // Every pattern name and alias name as keys.
    virtual bool patternList(QiArgRetVal& out) = 0;
    // One option description record per option of pattern `name`.
    virtual bool patternOpts(const char* name, std::vector<QiArgRetVal>& out) = 0;
    // The generator option records, then the current settings, then the
    // current pattern's arguments.
    virtual bool generatorOpts(std::vector<QiArgRetVal>& out) = 0;
    virtual bool generatorSettings(QiArgRetVal& out) = 0;
    virtual bool patternSettings(QiArgRetVal& out) = 0;
    // Blocks until command `id` has been rendered.
    virtual bool waitForPattern(int id) = 0;
    // Sends one request; the command id, or 0 or less when there is none.
    virtual int setGen(QiArgRetVal& request) = 0;
    // Saves the current frame as a PNG file.
    virtual bool snapshot(const char* file) = 0;
    // Output black and white levels as code values at the output depth, and
    // that depth in bits per component.
    virtual unsigned blackLevel() = 0;
    virtual unsigned whiteLevel() = 0;
    virtual unsigned bitDepth() = 0;

    // Fills `out` with the pattern settings and returns the first step whose
    // preset they match, or sequence.end().
    std::vector<MtCtlObject*>::iterator currentPattern(QiArgRetVal& out);
    // Sends the next (previous) step's preset, wrapping around; with no
    // current step the first (last) one.
    void nextPattern();
    void prevPattern();
    // Moves the current step's own setting and sends its preset; nothing
    // happens when no step is current.
    void nextPatternOption();
    void prevPatternOption();

    std::vector<MtCtlObject*> sequence; // owned
};

// The in-process engine (not owned).
class MtCoreController : public MtController {
public:
    explicit MtCoreController(MtCore& core);

    bool patternList(QiArgRetVal& out) override;
    bool patternOpts(const char* name, std::vector<QiArgRetVal>& out) override;
    bool generatorOpts(std::vector<QiArgRetVal>& out) override;
    bool generatorSettings(QiArgRetVal& out) override;
    bool patternSettings(QiArgRetVal& out) override;
    // The render result of command `id`; false when the engine had nothing
    // to wait for (already processed, never queued, or another waiter).
    bool waitForPattern(int id) override;
    int setGen(QiArgRetVal& request) override;
    bool snapshot(const char* file) override;
    unsigned blackLevel() override;
    unsigned whiteLevel() override;
    unsigned bitDepth() override;

    MtCore* core;
};

// A generator on the network. Only waitForPattern goes over the wire; the
// lists and settings are not carried, setGen sends nothing and returns 0, and
// the levels are those of an 8-bit video-range output.
class MtXmlController : public MtController {
public:
    // The longest a remote call may block the GUI thread, in seconds.
    static constexpr double kDefaultTimeout = 10.0;

    MtXmlController(const char* host, unsigned int port, double timeoutSeconds = kDefaultTimeout);

    bool patternList(QiArgRetVal& out) override;
    bool patternOpts(const char* name, std::vector<QiArgRetVal>& out) override;
    bool generatorOpts(std::vector<QiArgRetVal>& out) override;
    bool generatorSettings(QiArgRetVal& out) override;
    bool patternSettings(QiArgRetVal& out) override;
    // Calls "GetStatus" with {"TransId": id as decimal text, "Request":
    // "WaitTrans"}. True on a reply; false, with a warning trace, when the
    // generator cannot be reached, does not answer in time, or answers with
    // a fault.
    bool waitForPattern(int id) override;
    int setGen(QiArgRetVal& request) override;
    bool snapshot(const char* file) override;
    unsigned blackLevel() override;
    unsigned whiteLevel() override;
    unsigned bitDepth() override;

    // An XML-RPC client whose calls give up after a time limit.
    class Client : public XmlRpc::XmlRpcClient {
    public:
        Client(const char* host, int port) : XmlRpc::XmlRpcClient(host, port) {}
        // As execute(), but returns false once `seconds` have passed without
        // a complete reply, and drops the connection then.
        bool executeWithin(const char* method, XmlRpc::XmlRpcValue const& params,
                           XmlRpc::XmlRpcValue& result, double seconds);
    };

    Client client;
    uint32_t cachedBlackLevel = 16;
    uint32_t cachedWhiteLevel = 235;
    uint32_t cachedBitDepth = 8;

private:
    double timeout;
};

// Element 0 of `in` (an array) must be a struct; each member becomes an entry
// of `out`: booleans "true"/"false", integers "%d", doubles "%f", strings as
// they are; other types are skipped. False, `out` unchanged, when `in` has
// no struct at element 0.
bool assign(QiArgRetVal& out, XmlRpc::XmlRpcValue& in);
// One string member per entry of `in`.
bool assign(XmlRpc::XmlRpcValue& out, QiArgRetVal& in);
// The step's equalP on the map that `value` converts to.
bool operator==(MtCtlObject* step, XmlRpc::XmlRpcValue value);
