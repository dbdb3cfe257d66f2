// A broken plug-in: it calls a function that the program does not provide.
// Loaded with lazy binding it would be registered and end the process at its
// first call; with immediate binding the loader refuses it.
class MtCore;
class MtPatternRenderer;

extern "C" MtPatternRenderer* kbFunctionNobodyExports(MtCore*);

extern "C" MtPatternRenderer* MtpMain(MtCore* core) {
    return kbFunctionNobodyExports(core);
}
