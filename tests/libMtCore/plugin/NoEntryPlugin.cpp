// A broken plug-in: a shared object without the entry symbol.
class MtCore;
class MtPatternRenderer;

extern "C" MtPatternRenderer* MtpMainNot(MtCore*) {
    return nullptr;
}
