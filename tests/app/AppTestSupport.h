// Shared pieces of the control-panel tests: a controller that records what it
// is asked, the Qt application object, and small map helpers.
#pragma once

#include "ArgSupport.h"
#include "MtController.h"

#include <QApplication>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace apptest {

inline QiArgRetVal map(std::initializer_list<std::pair<const char*, const char*>> kv) {
    QiArgRetVal m;
    for (const auto& p : kv)
        m.set(p.first, p.second);
    return m;
}

using testsupport::text;

// One QApplication for the whole test program (widgets need it).
inline void ensureApp() {
    static int argc = 1;
    static char name[] = "app_tests";
    static char* argv[] = {name, nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication* app = new QApplication(argc, argv);
    (void)app;
}

// A generator that answers from fixed data and records every request.
class FakeController : public MtController {
public:
    bool patternList(QiArgRetVal& out) override {
        out = list;
        return true;
    }
    bool patternOpts(const char*, std::vector<QiArgRetVal>& out) override {
        out = records;
        return true;
    }
    bool generatorOpts(std::vector<QiArgRetVal>& out) override {
        out = records;
        return true;
    }
    bool generatorSettings(QiArgRetVal& out) override {
        out = settings;
        return true;
    }
    bool patternSettings(QiArgRetVal& out) override {
        out = settings;
        return true;
    }
    bool waitForPattern(int id) override {
        waited.push_back(id);
        return true;
    }
    int setGen(QiArgRetVal& request) override {
        sent.push_back(request);
        return nextId;
    }
    bool snapshot(const char* file) override {
        snapshots.push_back(file);
        return false;
    }
    unsigned blackLevel() override { return black; }
    unsigned whiteLevel() override { return white; }
    unsigned bitDepth() override { return bits; }

    QiArgRetVal list, settings;
    std::vector<QiArgRetVal> records;
    std::vector<QiArgRetVal> sent;
    std::vector<int> waited;
    std::vector<std::string> snapshots;
    int nextId = 1;
    unsigned black = 16, white = 235, bits = 8;
};

} // namespace apptest
