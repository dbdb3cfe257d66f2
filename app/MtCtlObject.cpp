#include "MtCtlObject.h"

#include "QiCLocale.h"

#include <cstdint>
#include <iostream>

namespace {

std::string valueOf(const QiArgRetVal& args, const char* key) {
    const char* v = nullptr;
    return args.find(key, &v) ? std::string(v) : std::string();
}

bool isGrey(const QiArgRetVal& args) {
    const std::string r = valueOf(args, "Color_Red");
    return r == valueOf(args, "Color_Green") && r == valueOf(args, "Color_Blue");
}

} // namespace

MtCtlObject::MtCtlObject(std::string key, std::string value) {
    preset.set(key, value);
}

void MtCtlObject::next(QiArgRetVal& current) {
    std::cout << "MtCtlObject::next (" << current << ")" << std::endl;
}

void MtCtlObject::prev(QiArgRetVal& current) {
    std::cout << "MtCtlObject::prev (" << current << ")" << std::endl;
}

bool MtCtlObject::equalP(QiArgRetVal& other) {
    return valueOf(preset, "Pattern") == valueOf(other, "Pattern");
}

bool operator==(MtCtlObject* step, const QiArgRetVal& current) {
    for (const auto& kv : step->preset) {
        const char* v = nullptr;
        if (!current.find(kv.first.c_str(), &v) || kv.second != v) return false;
    }
    return true;
}

std::ostream& operator<<(std::ostream& os, QiArgRetVal&) {
    return os;
}

MtcBrightness::MtcBrightness() : MtCtlObject("Pattern", "Brightness") {}
MtcContrast::MtcContrast() : MtCtlObject("Pattern", "Contrast") {}
MtcColor::MtcColor() : MtCtlObject("Pattern", "Color") {}
MtcContrastRatio::MtcContrastRatio() : MtCtlObject("Pattern", "Checkerboard") {}
MtcGeometry::MtcGeometry() : MtCtlObject("Pattern", "Geometry") {}
MtcProofing::MtcProofing() : MtCtlObject("Pattern", "Lumevra-Test-Card") {}

MtcGreyscale::MtcGreyscale() : MtCtlObject("Pattern", "Window") {
    preset.set("Color_Red", "76");
    preset.set("Color_Green", "76");
    preset.set("Color_Blue", "76");
    preset.set("Size", "10");
}

void MtcGreyscale::next(QiArgRetVal& current) {
    step(current, +1);
}
void MtcGreyscale::prev(QiArgRetVal& current) {
    step(current, -1);
}

void MtcGreyscale::step(QiArgRetVal& current, int direction) {
    // Video range 16..235 cut into 21 equal steps; the current level is first
    // snapped to the nearest of the 22 levels, then moved by one.
    const int32_t gv =
        static_cast<int32_t>(qi::strtolC(valueOf(current, "Color_Red").c_str(), nullptr, 0));
    const double step = 219.0 / 21.0;
    const int idx = static_cast<int>((gv - 16.0) / step + 0.5);
    const int n = idx + direction;
    const double x = n * step + 16.5;
    int level = static_cast<int>(x);
    std::cout << qi::formatC("gv(%f) => %d => %d => %d => %f => %d\n", step, gv, idx, n, x, level)
              << std::flush;
    if (level > 235)
        level = 16;
    else if (level < 16)
        level = 235;
    preset.set("Color_Red", level);
    preset.set("Color_Green", level);
    preset.set("Color_Blue", level);
}

bool MtcGreyscale::equalP(QiArgRetVal& other) {
    return MtCtlObject::equalP(other) && isGrey(other);
}

MtcColorGamut::MtcColorGamut() : MtCtlObject("Pattern", "Window") {
    preset.set("Color_Red", "0xff");
    preset.set("Color_Green", "0");
    preset.set("Color_Blue", "0");
    preset.set("Size", "10");
}

void MtcColorGamut::next(QiArgRetVal& current) {
    std::cout << "GamutNext => Current (" << current << ")" << std::endl;
}

void MtcColorGamut::prev(QiArgRetVal& current) {
    std::cout << "GamutPrev => Current (" << current << ")" << std::endl;
}

bool MtcColorGamut::equalP(QiArgRetVal& other) {
    return MtCtlObject::equalP(other) && !isGrey(other);
}
