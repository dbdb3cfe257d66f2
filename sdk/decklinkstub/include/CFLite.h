// CFLite: the small part of a CoreFoundation-style C layer that the DeckLink
// back-end needs on Linux: reference-counted strings, file URLs and code
// bundles (a bundle is a shared library opened with dlopen), plus the COM
// basics (result codes, interface ids, IUnknown) that the DeckLink interfaces
// build on.
//
// Objects created by a Create function are owned by the caller and given
// back with CFRelease. Strings hold UTF-8; their length is counted in UTF-16
// code units, as CoreFoundation counts it.
#pragma once

#include <cstdint>

typedef const struct __CFString* CFStringRef;
typedef const struct __CFURL* CFURLRef;
typedef struct __CFBundle* CFBundleRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const void* CFTypeRef;
typedef long CFIndex;
typedef uint32_t CFStringEncoding;
typedef unsigned char Boolean;

#define kCFAllocatorDefault nullptr

enum : CFStringEncoding { kCFStringEncodingUTF8 = 0x08000100 };
enum CFURLPathStyle { kCFURLPOSIXPathStyle = 0 };

// Null for a null text, an encoding other than UTF-8 or text that is not UTF-8.
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* text,
                                      CFStringEncoding encoding);
// Length in UTF-16 code units.
CFIndex CFStringGetLength(CFStringRef string);
// Bytes that `length` UTF-16 units may need in `encoding`, without the
// terminating NUL; -1 for an unknown encoding.
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
// Copies the text and a terminating NUL; false when it does not fit.
Boolean CFStringGetCString(CFStringRef string, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding);

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef alloc, CFStringRef path, CFURLPathStyle style,
                                       Boolean isDirectory);

// Opens the shared library the URL names; null when it cannot be opened.
CFBundleRef CFBundleCreate(CFAllocatorRef alloc, CFURLRef url);
// The exported function of that name, or null.
void* CFBundleGetFunctionPointerForName(CFBundleRef bundle, CFStringRef name);

CFTypeRef CFRetain(CFTypeRef object);
void CFRelease(CFTypeRef object);

// COM basics.
typedef int32_t HRESULT;
typedef uint32_t ULONG;
typedef struct {
    uint8_t byte[16];
} CFUUIDBytes;
typedef CFUUIDBytes REFIID;

#define S_OK ((HRESULT)0x00000000)
#define S_FALSE ((HRESULT)0x00000001)
#define E_NOTIMPL ((HRESULT)0x80000001)
#define E_OUTOFMEMORY ((HRESULT)0x80000002)
#define E_INVALIDARG ((HRESULT)0x80000003)
#define E_NOINTERFACE ((HRESULT)0x80000004)
#define E_POINTER ((HRESULT)0x80000005)
#define E_FAIL ((HRESULT)0x80000008)
#define E_ACCESSDENIED ((HRESULT)0x80000009)

inline bool CFEqualUUIDs(const CFUUIDBytes& a, const CFUUIDBytes& b) {
    for (int i = 0; i < 16; ++i)
        if (a.byte[i] != b.byte[i]) return false;
    return true;
}

// 00000000-0000-0000-C000-000000000046
constexpr CFUUIDBytes IUnknownUUID = {{0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

class IUnknown {
public:
    virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;
};
