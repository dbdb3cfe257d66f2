// QiOption: static option descriptors.
//
// Every setting a client can give (the generator options and every option of
// every pattern renderer) is declared once by a static descriptor. The
// descriptor's name is the option's key in argument maps. A descriptor does two
// jobs:
//   - getParameters() publishes its description record (a QiArgRetVal) for
//     clients: "Name", "DataType", "Description", the layout hints and the
//     type's own keys (defaults, limits, value names);
//   - getOption() reads a typed value out of a request's argument map, with the
//     option's default when the key is absent and its limits applied.
//
// Pattern renderers read with the const getOption forms, where "toggle" is no
// value. The toggle forms (non-const map) serve the generator options: the
// caller passes its current setting in, and the resolved value is written back
// into the map.
//
// Ownership: descriptors are static objects of the module that declares them
// and live for the whole process; the texts they point at are not owned.
// Null texts (name, description, String default, value names) are tolerated
// and publish as "".
//
// Threads: descriptors are read-only after static initialisation except for
// QiOptInt/QiOptDouble::setLimits (render thread), which is serialised with the
// reads of those limits, and the engine's rewrite of the public fields of an
// enumeration or a read-only integer, which the engine serialises itself.
#pragma once

#include "QiArgRetVal.h"

#include <cstdint>

// Layout hints of one option for a client's form. A plain value type; the
// predicate texts are shared, not copied. The generator publishes the
// show-when predicate and evaluates none of it.
struct QiOptUiSettings {
    constexpr QiOptUiSettings(int x, int y, int w, int h, char const* predicateField,
                              char const* predicateValue, bool predicateLogic)
        : uiX(x), uiY(y), uiW(w), uiH(h), uiPredicatesOnField(predicateField),
          uiPredicatesOnValue(predicateValue), uiPredicateLogic(predicateLogic) {}

    int uiX, uiY;                    // position hints, -1 when not given
    int uiW, uiH;                    // size hints, -1 when not given
    char const* uiPredicatesOnField; // another option's name, or null
    char const* uiPredicatesOnValue; // a value text of that option, or null
    bool uiPredicateLogic;
};

// (-1, -1, -1, -1, null, null, true): the hints of an option that gives none.
// Constant-initialised, so other modules may copy it during their own static
// initialisation.
extern QiOptUiSettings const defaultOptionUiSettings;

// Base of the descriptor family. Never destroyed through a QiOption pointer
// (the destructor is protected and not virtual).
class QiOption {
public:
    enum Type {
        Integer = 0,
        Boolean = 1,
        String = 2,
        Double = 3,
        Enumeration = 4,
        RGB = 5,
        RoInteger = 6,
    };

    QiOption(char const* name, char const* description, Type type, QiOptUiSettings const& ui)
        : name(name), description(description), type(type), ui(ui) {}

    // Writes the description record into `record`, replacing keys already
    // there and leaving other keys alone. Always returns true. The base writes
    // the keys shared by every type; each subclass adds its own.
    virtual bool getParameters(QiArgRetVal& record) const;

    // The "DataType" text of a type; "" for a value outside the table.
    static char const* typeName(Type type);

    char const* name; // key in argument maps
    char const* description;
    Type type;
    QiOptUiSettings ui;

protected:
    ~QiOption() = default;
};

// The "DataType" texts indexed by QiOption::Type, ending with a null entry.
extern char const* const qiOptType[8];

// Signed 32-bit integer with inclusive limits.
class QiOptInt : public QiOption {
public:
    QiOptInt(char const* name, char const* description, int defaultValue, int minValue,
             int maxValue, QiOptUiSettings const& ui);

    // Adds "MaxValue", "MinValue", "DefaultValue" ("%d").
    bool getParameters(QiArgRetVal& record) const override;

    // Key present: the text read as an integer (decimal, "0x" hexadecimal or
    // leading-"0" octal, low 32 bits), then limited to maxValue, then to
    // minValue; returns true. Absent: defaultValue (not limited); false.
    bool getOption(QiArgRetVal const& args, int& out) const;

    // Replaces default, minimum and maximum (renderers adapt limits to the
    // raster at render time). Returns true.
    bool setLimits(int defaultValue, int minValue, int maxValue);

    int defaultValue, minValue, maxValue;
};

// An integer shown to clients and never read from requests.
class QiOptIntRo : public QiOption {
public:
    QiOptIntRo(char const* name, char const* description, int value, QiOptUiSettings const& ui);

    // Adds "Value" ("%d").
    bool getParameters(QiArgRetVal& record) const override;

    int value; // set by the engine from the raster before clients ask
};

class QiOptBool : public QiOption {
public:
    QiOptBool(char const* name, char const* description, bool defaultValue,
              QiOptUiSettings const& ui);

    // Adds "DefaultValue": "true" or "false".
    bool getParameters(QiArgRetVal& record) const override;

    // Key present: true when the text begins, ignoring case, with "true",
    // "yes" or "1"; returns true. Absent: defaultValue; false.
    bool getOption(QiArgRetVal const& args, bool& out) const;
    // As above; a text beginning with "toggle" negates the `out` passed in and
    // writes "true" or "false" back into the map.
    bool getOption(QiArgRetVal& args, bool& out) const;

    bool defaultValue;
};

class QiOptString : public QiOption {
public:
    QiOptString(char const* name, char const* description, char const* defaultValue,
                QiOptUiSettings const& ui);

    // Adds "DefaultValue": the default text.
    bool getParameters(QiArgRetVal& record) const override;

    // `*out` becomes a heap copy (the caller frees it with free()) of the
    // key's text when present (returns true), else of defaultValue (false).
    bool getOption(QiArgRetVal const& args, char** out) const;

    char const* defaultValue;
};

// Double with inclusive limits. Published with six decimals, C locale.
class QiOptDouble : public QiOption {
public:
    QiOptDouble(char const* name, char const* description, double defaultValue, double minValue,
                double maxValue, QiOptUiSettings const& ui);

    // Adds "MaxValue", "MinValue", "DefaultValue" ("%f").
    bool getParameters(QiArgRetVal& record) const override;

    // Key present: the text read as a decimal number, then limited to
    // maxValue, then to minValue (NaN passes unchanged); returns true.
    // Absent: defaultValue (not limited); false.
    bool getOption(QiArgRetVal const& args, double& out) const;

    bool setLimits(double defaultValue, double minValue, double maxValue);

    double defaultValue, minValue, maxValue;
};

// One of a list of named values, travelling by name (matched ignoring case).
// The fields are public: the engine replaces the list of its video-format
// option whenever it reads the raster's formats.
class QiOptEnum : public QiOption {
public:
    // `values`: null-terminated list of names, not owned; a null list counts 0.
    QiOptEnum(char const* name, char const* description, unsigned defaultIndex,
              char const* const* values, QiOptUiSettings const& ui);

    // Adds "DefaultValue" (the default's name), one key "<name><index>" per
    // value holding its name, and "nVal" (the number of values).
    bool getParameters(QiArgRetVal& record) const override;

    // Key present: the index of the first name equal to the text, ignoring
    // case; a text that names no value gives defaultIndex, so `out` never keeps
    // an unset value. Returns true. Absent: defaultIndex; false.
    bool getOption(QiArgRetVal const& args, unsigned int& out) const;
    // Starts from the `out` passed in (the current setting). Key present: the
    // whole text "toggle" (ignoring case) steps `out` to (out + 1) modulo count
    // and writes the new value's name back into the map; a matching name gives
    // its index; a text that names no value leaves `out` unchanged. With no
    // values, "toggle" leaves `out` and the map alone. Returns true. Absent:
    // defaultIndex; false.
    bool getOption(QiArgRetVal& args, unsigned int& out) const;

    // The name of value `index`; for an index at or past count, the default
    // value's name; "" when that does not exist either (no values).
    char const* getName(unsigned int index) const;

    char const* const* values;
    uint32_t defaultIndex;
    uint32_t count;

private:
    // Index of the value named `text` (ignoring case), or count when none.
    uint32_t indexOf(char const* text) const;
};

// A colour travelling as three keys "<name>_Red", "<name>_Green",
// "<name>_Blue". Components are plain numbers without range; callers
// interpret them (code values at the raster's depth, for example).
class QiOptRGB : public QiOption {
public:
    QiOptRGB(char const* name, char const* description, unsigned red, unsigned green, unsigned blue,
             bool defaultIsRGB, QiOptUiSettings const& ui);

    // Adds "DefaultValueR", "DefaultValueG", "DefaultValueB" ("%d") and
    // "DefaultIsRGB" ("true" or "false").
    bool getParameters(QiArgRetVal& record) const override;

    // Each component is its key's text read as unsigned (base detected, low
    // 32 bits) when present, else its default. True only when all three keys
    // were present.
    bool getOption(QiArgRetVal const& args, unsigned int& r, unsigned int& g,
                   unsigned int& b) const;

    uint32_t defaultRed, defaultGreen, defaultBlue;
    bool defaultIsRGB;
};
