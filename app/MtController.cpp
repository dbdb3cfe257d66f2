#include "MtController.h"

#include "MtCore.h"
#include "QiCLocale.h"
#include "QiOutput.h"
#include "QiRaster.h"

#include <xmlrpcpp/XmlRpcValue.h>

#include <iostream>
#include <string>

using XmlRpc::XmlRpcValue;

// ------------------------------------------------------------ MtController

MtController::MtController() {
    sequence.push_back(new MtcBrightness);
    sequence.push_back(new MtcContrast);
    sequence.push_back(new MtcColor);
    sequence.push_back(new MtcGreyscale);
    sequence.push_back(new MtcColorGamut);
    sequence.push_back(new MtcContrastRatio);
    sequence.push_back(new MtcGeometry);
    sequence.push_back(new MtcProofing);
}

MtController::~MtController() {
    for (MtCtlObject* step : sequence)
        delete step;
}

std::vector<MtCtlObject*>::iterator MtController::currentPattern(QiArgRetVal& out) {
    patternSettings(out);
    std::cout << "Current: " << out << std::endl;
    for (auto it = sequence.begin(); it != sequence.end(); ++it)
        if (*it == out) return it;
    return sequence.end();
}

void MtController::nextPattern() {
    QiArgRetVal current;
    auto it = currentPattern(current);
    if (it == sequence.end() || ++it == sequence.end()) it = sequence.begin();
    setGen((*it)->preset);
    std::cout << "new: " << (*it)->preset << std::endl;
}

void MtController::prevPattern() {
    QiArgRetVal current;
    auto it = currentPattern(current);
    if (it == sequence.begin() || it == sequence.end()) it = sequence.end();
    --it;
    setGen((*it)->preset);
    std::cout << "new: " << (*it)->preset << std::endl;
}

void MtController::nextPatternOption() {
    QiArgRetVal current;
    auto it = currentPattern(current);
    if (it == sequence.end()) return;
    (*it)->next(current);
    setGen((*it)->preset);
}

void MtController::prevPatternOption() {
    QiArgRetVal current;
    auto it = currentPattern(current);
    if (it == sequence.end()) return;
    (*it)->prev(current);
    setGen((*it)->preset);
}

// -------------------------------------------------------- MtCoreController

MtCoreController::MtCoreController(MtCore& c) : core(&c) {}

bool MtCoreController::patternList(QiArgRetVal& out) {
    return core->getPatList(out);
}

bool MtCoreController::patternOpts(const char* name, std::vector<QiArgRetVal>& out) {
    return core->getPatOpts(name, out);
}

bool MtCoreController::generatorOpts(std::vector<QiArgRetVal>& out) {
    return core->getGenOpts(out);
}

bool MtCoreController::generatorSettings(QiArgRetVal& out) {
    return core->getGenSettings(out);
}

bool MtCoreController::patternSettings(QiArgRetVal& out) {
    return core->getPatSettings(out);
}

bool MtCoreController::waitForPattern(int id) {
    // The engine sets the result only when it actually waited.
    bool result = false;
    return core->waitForPattern(result, id) && result;
}

int MtCoreController::setGen(QiArgRetVal& request) {
    return core->asyncSetGen(request);
}

bool MtCoreController::snapshot(const char* file) {
    return core->saveImageAsPng(file);
}

unsigned MtCoreController::blackLevel() {
    return static_cast<unsigned>(core->raster->getBlackLevel());
}

unsigned MtCoreController::whiteLevel() {
    return static_cast<unsigned>(core->raster->getWhiteLevel());
}

unsigned MtCoreController::bitDepth() {
    return static_cast<unsigned>(core->raster->bits);
}

// --------------------------------------------------------- MtXmlController

bool MtXmlController::Client::executeWithin(const char* method, XmlRpcValue const& params,
                                            XmlRpcValue& result, double seconds) {
    // The library's execute() waits without limit for the reply; this runs
    // the same steps with a bounded dispatch.
    if (_executing) return false;
    _executing = true;
    struct ClearOnExit {
        bool& flag;
        ~ClearOnExit() { flag = false; }
    } clearOnExit{_executing};

    _sendAttempts = 0;
    _isFault = false;
    if (!setupConnection() || !generateRequest(method, params)) {
        close();
        return false;
    }
    result.clear();
    _disp.work(seconds);
    if (_connectionState != IDLE || !parseResponse(result)) {
        // Unreachable, refused, cut off or no reply in time: start afresh
        // next time rather than reading a late reply as the next one's.
        _header.clear();
        _response.clear();
        close();
        return false;
    }
    // A server that did not speak HTTP/1.1 may drop the connection.
    if (_header.compare(0, 15, "HTTP/1.1 200 OK") != 0) close();
    _header.clear();
    _response.clear();
    return true;
}

MtXmlController::MtXmlController(const char* host, unsigned int port, double timeoutSeconds)
    : client(host ? host : "", static_cast<int>(port)), timeout(timeoutSeconds) {}

bool MtXmlController::patternList(QiArgRetVal&) {
    return false;
}

bool MtXmlController::patternOpts(const char*, std::vector<QiArgRetVal>&) {
    return false;
}

bool MtXmlController::generatorOpts(std::vector<QiArgRetVal>&) {
    return false;
}

bool MtXmlController::generatorSettings(QiArgRetVal&) {
    return false;
}

bool MtXmlController::patternSettings(QiArgRetVal&) {
    return false;
}

bool MtXmlController::waitForPattern(int id) {
    XmlRpcValue params;
    params[0]["TransId"] = qi::formatC("%d", id);
    params[0]["Request"] = std::string("WaitTrans");
    XmlRpcValue result;
    if (!client.executeWithin("GetStatus", params, result, timeout)) {
        gOutput->trace(QiOutput::Warning, "%s: no reply from %s:%d\n", __func__,
                       client.getHost().c_str(), client.getPort());
        return false;
    }
    if (client.isFault()) {
        std::string text;
        if (result.getType() == XmlRpcValue::TypeStruct && result.hasMember("faultString") &&
            result["faultString"].getType() == XmlRpcValue::TypeString)
            text = static_cast<std::string&>(result["faultString"]);
        gOutput->trace(QiOutput::Warning, "%s: %s:%d answered with a fault: %s\n", __func__,
                       client.getHost().c_str(), client.getPort(), text.c_str());
        return false;
    }
    return true;
}

int MtXmlController::setGen(QiArgRetVal&) {
    return 0;
}

bool MtXmlController::snapshot(const char*) {
    return false;
}

unsigned MtXmlController::blackLevel() {
    return cachedBlackLevel;
}

unsigned MtXmlController::whiteLevel() {
    return cachedWhiteLevel;
}

unsigned MtXmlController::bitDepth() {
    return cachedBitDepth;
}

// -------------------------------------------------------- value conversion

bool assign(QiArgRetVal& out, XmlRpcValue& in) {
    if (in.getType() != XmlRpcValue::TypeArray || in.size() < 1) return false;
    XmlRpcValue& s = in[0];
    if (s.getType() != XmlRpcValue::TypeStruct) return false;
    for (auto& member : s) {
        XmlRpcValue& v = member.second;
        switch (v.getType()) {
        case XmlRpcValue::TypeBoolean:
            out.set(member.first.c_str(), static_cast<bool&>(v) ? "true" : "false");
            break;
        case XmlRpcValue::TypeInt:
            out.set(member.first.c_str(), static_cast<int&>(v));
            break;
        case XmlRpcValue::TypeDouble:
            out.set(member.first.c_str(), static_cast<double&>(v));
            break;
        case XmlRpcValue::TypeString:
            out.set(member.first, static_cast<std::string&>(v));
            break;
        default:
            break;
        }
    }
    return true;
}

bool assign(XmlRpcValue& out, QiArgRetVal& in) {
    for (const auto& kv : in)
        out[kv.first] = kv.second;
    return true;
}

bool operator==(MtCtlObject* step, XmlRpcValue value) {
    QiArgRetVal args;
    assign(args, value);
    return step->equalP(args);
}
