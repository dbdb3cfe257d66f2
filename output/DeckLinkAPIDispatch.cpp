// Loads the DeckLink library at run time and forwards to its factories.
//
// The library is opened once per process (pthread_once) as a bundle; each
// factory is looked up by its versioned name. A missing library or factory
// makes the Create functions return null, which the back-end reports as "no
// drivers installed".
#include "DeckLinkAPI.h"

#include <pthread.h>

// Where the library lives; the build points this at the library it builds.
#ifndef KB_DECKLINK_API_PATH
#define KB_DECKLINK_API_PATH "/Library/Frameworks/DeckLinkAPI.framework"
#endif
#define kDeckLinkAPI_BundlePath KB_DECKLINK_API_PATH
#define kBMDStreamingAPI_BundlePath                                                                \
    "/Library/Application Support/Blackmagic Design/Streaming/BMDStreamingAPI.bundle"

namespace {

pthread_once_t gDeckLinkOnceControl = PTHREAD_ONCE_INIT;
pthread_once_t gBMDStreamingOnceControl = PTHREAD_ONCE_INIT;

CFBundleRef gDeckLinkAPIBundleRef = nullptr;
CFBundleRef gBMDStreamingAPIBundleRef = nullptr;

CreateIteratorFunc gCreateIteratorFunc = nullptr;
CreateAPIInformationFunc gCreateAPIInformationFunc = nullptr;
CreateOpenGLScreenPreviewHelperFunc gCreateOpenGLPreviewFunc = nullptr;
CreateCocoaScreenPreviewFunc gCreateCocoaPreviewFunc = nullptr;
CreateVideoConversionInstanceFunc gCreateVideoConversionFunc = nullptr;
CreateDeckLinkDiscoveryInstanceFunc gCreateDeckLinkDiscoveryFunc = nullptr;
CreateStreamingDiscoveryFunc gCreateStreamingDiscoveryFunc = nullptr;
CreateNALParserFunc gCreateNALParserFunc = nullptr;

CFBundleRef openBundle(const char* path) {
    CFStringRef text = CFStringCreateWithCString(kCFAllocatorDefault, path, kCFStringEncodingUTF8);
    CFURLRef url =
        CFURLCreateWithFileSystemPath(kCFAllocatorDefault, text, kCFURLPOSIXPathStyle, true);
    CFBundleRef bundle = url ? CFBundleCreate(kCFAllocatorDefault, url) : nullptr;
    if (url) CFRelease(url);
    if (text) CFRelease(text);
    return bundle;
}

void* lookUp(CFBundleRef bundle, const char* name) {
    CFStringRef text = CFStringCreateWithCString(kCFAllocatorDefault, name, kCFStringEncodingUTF8);
    void* function = CFBundleGetFunctionPointerForName(bundle, text);
    if (text) CFRelease(text);
    return function;
}

void InitDeckLinkAPI() {
    gDeckLinkAPIBundleRef = openBundle(kDeckLinkAPI_BundlePath);
    if (!gDeckLinkAPIBundleRef) return;
    gCreateIteratorFunc = reinterpret_cast<CreateIteratorFunc>(
        lookUp(gDeckLinkAPIBundleRef, "CreateDeckLinkIteratorInstance_0002"));
    gCreateAPIInformationFunc = reinterpret_cast<CreateAPIInformationFunc>(
        lookUp(gDeckLinkAPIBundleRef, "CreateDeckLinkAPIInformationInstance_0001"));
    gCreateOpenGLPreviewFunc = reinterpret_cast<CreateOpenGLScreenPreviewHelperFunc>(
        lookUp(gDeckLinkAPIBundleRef, "CreateOpenGLScreenPreviewHelper_0001"));
    gCreateCocoaPreviewFunc = reinterpret_cast<CreateCocoaScreenPreviewFunc>(
        lookUp(gDeckLinkAPIBundleRef, "CreateCocoaScreenPreview_0001"));
    gCreateVideoConversionFunc = reinterpret_cast<CreateVideoConversionInstanceFunc>(
        lookUp(gDeckLinkAPIBundleRef, "CreateVideoConversionInstance_0001"));
    gCreateDeckLinkDiscoveryFunc = reinterpret_cast<CreateDeckLinkDiscoveryInstanceFunc>(
        lookUp(gDeckLinkAPIBundleRef, "CreateDeckLinkDiscoveryInstance_0001"));
}

void InitBMDStreamingAPI() {
    gBMDStreamingAPIBundleRef = openBundle(kBMDStreamingAPI_BundlePath);
    if (!gBMDStreamingAPIBundleRef) return;
    gCreateStreamingDiscoveryFunc = reinterpret_cast<CreateStreamingDiscoveryFunc>(
        lookUp(gBMDStreamingAPIBundleRef, "CreateBMDStreamingDiscoveryInstance_0001"));
    gCreateNALParserFunc = reinterpret_cast<CreateNALParserFunc>(
        lookUp(gBMDStreamingAPIBundleRef, "CreateBMDStreamingH264NALParser_0001"));
}

} // namespace

bool IsDeckLinkAPIPresent() {
    pthread_once(&gDeckLinkOnceControl, InitDeckLinkAPI);
    return gDeckLinkAPIBundleRef != nullptr;
}

IDeckLinkIterator* CreateDeckLinkIteratorInstance() {
    pthread_once(&gDeckLinkOnceControl, InitDeckLinkAPI);
    return gCreateIteratorFunc ? gCreateIteratorFunc() : nullptr;
}

IDeckLinkAPIInformation* CreateDeckLinkAPIInformationInstance() {
    pthread_once(&gDeckLinkOnceControl, InitDeckLinkAPI);
    return gCreateAPIInformationFunc ? gCreateAPIInformationFunc() : nullptr;
}

IDeckLinkGLScreenPreviewHelper* CreateOpenGLScreenPreviewHelper() {
    pthread_once(&gDeckLinkOnceControl, InitDeckLinkAPI);
    return gCreateOpenGLPreviewFunc ? gCreateOpenGLPreviewFunc() : nullptr;
}

IDeckLinkCocoaScreenPreviewCallback* CreateCocoaScreenPreview(void* parentView) {
    pthread_once(&gDeckLinkOnceControl, InitDeckLinkAPI);
    return gCreateCocoaPreviewFunc ? gCreateCocoaPreviewFunc(parentView) : nullptr;
}

IDeckLinkVideoConversion* CreateVideoConversionInstance() {
    pthread_once(&gDeckLinkOnceControl, InitDeckLinkAPI);
    return gCreateVideoConversionFunc ? gCreateVideoConversionFunc() : nullptr;
}

IDeckLinkDiscovery* CreateDeckLinkDiscoveryInstance() {
    pthread_once(&gDeckLinkOnceControl, InitDeckLinkAPI);
    return gCreateDeckLinkDiscoveryFunc ? gCreateDeckLinkDiscoveryFunc() : nullptr;
}

IBMDStreamingDiscovery* CreateBMDStreamingDiscoveryInstance() {
    pthread_once(&gBMDStreamingOnceControl, InitBMDStreamingAPI);
    return gCreateStreamingDiscoveryFunc ? gCreateStreamingDiscoveryFunc() : nullptr;
}

IBMDStreamingH264NALParser* CreateBMDStreamingH264NALParser() {
    pthread_once(&gBMDStreamingOnceControl, InitBMDStreamingAPI);
    return gCreateNALParserFunc ? gCreateNALParserFunc() : nullptr;
}
