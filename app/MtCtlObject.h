// Calibration steps: the stops of the fixed calibration sequence.
//
// A step is the argument set that shows one calibration pattern (`preset`),
// the means to move that pattern's own setting up or down, and the tests that
// tell whether a generator is showing this step now. Steps never talk to a
// generator: the controller (MtController.h) sends their presets.
//
// The sequence operations write their progress lines to standard output.
#pragma once

#include "QiArgRetVal.h"

#include <iosfwd>
#include <string>

class MtCtlObject {
public:
    MtCtlObject(std::string key, std::string value);
    virtual ~MtCtlObject() = default;
    MtCtlObject(const MtCtlObject&) = delete;
    MtCtlObject& operator=(const MtCtlObject&) = delete;

    // Moves the step's own setting from the `current` settings, by rewriting
    // `preset`; the base writes a line and leaves `preset` as it is.
    virtual void next(QiArgRetVal& current);
    virtual void prev(QiArgRetVal& current);
    // The step's looser test: the "Pattern" values are byte-equal (a missing
    // one counts as empty text).
    virtual bool equalP(QiArgRetVal& other);

    QiArgRetVal preset;
};

// The preset test: every key of the step's preset is in `current` with a
// byte-equal value; further keys of `current` do not matter.
bool operator==(MtCtlObject* step, const QiArgRetVal& current);

// Writes nothing: the sequence's lines carry no arguments.
std::ostream& operator<<(std::ostream& os, QiArgRetVal& args);

class MtcBrightness : public MtCtlObject {
public:
    MtcBrightness();
};

class MtcContrast : public MtCtlObject {
public:
    MtcContrast();
};

class MtcColor : public MtCtlObject {
public:
    MtcColor();
};

// A grey window stepping through the 22 video-range grey levels 16..235
// (n * 219 / 21 + 16, rounded half up), wrapping at both ends.
class MtcGreyscale : public MtCtlObject {
public:
    MtcGreyscale();
    void next(QiArgRetVal& current) override;
    void prev(QiArgRetVal& current) override;
    // A "Window" whose three colour components are byte-equal.
    bool equalP(QiArgRetVal& other) override;

private:
    void step(QiArgRetVal& current, int direction);
};

class MtcColorGamut : public MtCtlObject {
public:
    MtcColorGamut();
    void next(QiArgRetVal& current) override;
    void prev(QiArgRetVal& current) override;
    // A "Window" whose three colour components are not all byte-equal.
    bool equalP(QiArgRetVal& other) override;
};

class MtcContrastRatio : public MtCtlObject {
public:
    MtcContrastRatio();
};

class MtcGeometry : public MtCtlObject {
public:
    MtcGeometry();
};

class MtcProofing : public MtCtlObject {
public:
    MtcProofing();
};
