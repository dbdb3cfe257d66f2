// A broken plug-in: its entry hands back no renderer.
class MtCore;
class MtPatternRenderer;

extern "C" MtPatternRenderer* MtpMain(MtCore*) {
    return nullptr;
}
