#include "CFLite.h"

#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <string>

namespace {

enum Kind { StringKind, UrlKind, BundleKind };

} // namespace

// Every object starts with the same header so CFRetain and CFRelease can
// tell them apart.
struct CFObject {
    explicit CFObject(Kind k) : kind(k) {}
    Kind kind;
    mutable std::atomic<long> refs{1};
};

struct __CFString : CFObject {
    __CFString() : CFObject(StringKind) {}
    std::string utf8;
    CFIndex units = 0; // UTF-16 code units
};

struct __CFURL : CFObject {
    __CFURL() : CFObject(UrlKind) {}
    std::string path;
};

struct __CFBundle : CFObject {
    __CFBundle() : CFObject(BundleKind) {}
    void* handle = nullptr;
};

namespace {

// UTF-16 units of well-formed UTF-8, or -1.
CFIndex utf16Units(const std::string& s) {
    CFIndex units = 0;
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > s.size()) return -1;
        for (size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return -1;
        units += len == 4 ? 2 : 1;
        i += len;
    }
    return units;
}

} // namespace

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* text, CFStringEncoding encoding) {
    if (!text || encoding != kCFStringEncodingUTF8) return nullptr;
    __CFString* s = new __CFString;
    s->utf8 = text;
    s->units = utf16Units(s->utf8);
    if (s->units < 0) {
        delete s;
        return nullptr;
    }
    return s;
}

CFIndex CFStringGetLength(CFStringRef string) {
    return string ? string->units : 0;
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
    // A UTF-16 unit takes at most three bytes in UTF-8 (a surrogate pair, two
    // units, takes four).
    return encoding == kCFStringEncodingUTF8 ? length * 3 : -1;
}

Boolean CFStringGetCString(CFStringRef string, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
    if (!string || !buffer || encoding != kCFStringEncodingUTF8) return false;
    if (bufferSize <= 0 || static_cast<size_t>(bufferSize) < string->utf8.size() + 1) return false;
    std::memcpy(buffer, string->utf8.c_str(), string->utf8.size() + 1);
    return true;
}

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef, CFStringRef path, CFURLPathStyle style,
                                       Boolean) {
    if (!path || style != kCFURLPOSIXPathStyle) return nullptr;
    __CFURL* url = new __CFURL;
    url->path = path->utf8;
    return url;
}

CFBundleRef CFBundleCreate(CFAllocatorRef, CFURLRef url) {
    if (!url) return nullptr;
    void* handle = dlopen(url->path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return nullptr;
    __CFBundle* bundle = new __CFBundle;
    bundle->handle = handle;
    return bundle;
}

void* CFBundleGetFunctionPointerForName(CFBundleRef bundle, CFStringRef name) {
    if (!bundle || !name) return nullptr;
    return dlsym(bundle->handle, name->utf8.c_str());
}

CFTypeRef CFRetain(CFTypeRef object) {
    if (object) static_cast<const CFObject*>(object)->refs.fetch_add(1);
    return object;
}

void CFRelease(CFTypeRef object) {
    if (!object) return;
    CFObject* o = const_cast<CFObject*>(static_cast<const CFObject*>(object));
    if (o->refs.fetch_sub(1) != 1) return;
    switch (o->kind) {
    case StringKind:
        delete static_cast<__CFString*>(o);
        break;
    case UrlKind:
        delete static_cast<__CFURL*>(o);
        break;
    case BundleKind:
        dlclose(static_cast<__CFBundle*>(o)->handle);
        delete static_cast<__CFBundle*>(o);
        break;
    }
}
