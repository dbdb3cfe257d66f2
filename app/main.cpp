// kettlebright: the generator as a tray application.
//
// main builds the application's objects in a fixed order on the main thread,
// picks the output card (AJA first, then DeckLink), starts the network
// services and runs the Qt event loop until "&Quit" (or SIGTERM/SIGINT), then
// takes everything down in the reverse order. All values are compiled in.
// The generator is announced (Bonjour, discovery) only once its XML-RPC port
// listens.
//
// Threads started here, in order: the render thread (inside MtCore), the
// XML-RPC server thread and, when that listens, the discovery responder
// thread.
#include "BcServiceResponder.h"
#include "BmdRaster.h"
#include "KonaRaster.h"
#include "MtCore.h"
#include "MtcXmlRpcIo.h"
#include "OsDep.h"
#include "QiArgRetVal.h"
#include "QiCLocale.h"
#include "QiOutput.h"
#include "RynMain.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QSystemTrayIcon>

#include <arpa/inet.h>
#include <dns_sd.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>

// The discovery responder. Reachable from outside main so that it is never
// mistaken for a leak while its thread runs.
BcServiceResponder* g_ssr = nullptr;

namespace {

const char* const kAppId = "com.Brindlecap.MtRyn";
const char* const kIconPath = ":/Artwork/Kettlebright.iconset/icon_16x16@2x.png";
const char* const kAboutPicturePath = ":Artwork/Kettlebright-About.png";
const char* const kVersion = "1.2.317";
const char* const kServiceName = "Kettlebright";
const char* const kServiceType = "_marlowtide._tcp";
const BcServiceResponder::BcServiceId kDiscoveryServiceId = 5113;

// The ports are fixed; these variables move them only so the start-up test
// can run beside a live generator on the same machine.
unsigned short portFromEnvironment(const char* name, unsigned short fixed) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fixed;
    char* end = nullptr;
    long port = qi::strtolC(text, &end, 10);
    if (*end != '\0' || port <= 0 || port > 65535) {
        gOutput->trace(QiOutput::Warning, "%s: ignoring %s=%s, using port %u\n", "main", name, text,
                       fixed);
        return fixed;
    }
    return static_cast<unsigned short>(port);
}

// SIGTERM and SIGINT end the event loop like "&Quit", so a session logout or
// a service manager gets the orderly shut-down. The handler only writes to a
// pipe that the event loop watches.
int sStopPipe[2] = {-1, -1};

void onStopSignal(int) {
    const int saved = errno;
    const char byte = 1;
    ssize_t n = write(sStopPipe[1], &byte, 1);
    (void)n; // a full pipe already holds a pending stop
    errno = saved;
}

void installStopSignals(QApplication& app) {
    if (pipe2(sStopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        gOutput->trace(QiOutput::Warning, "%s: no stop-signal pipe\n", "main");
        return;
    }
    auto* notifier = new QSocketNotifier(sStopPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char bytes[16];
        while (read(sStopPipe[0], bytes, sizeof bytes) > 0) {
        }
        // exit() rather than quit(): it also ends a message box's loop, and it
        // does not ask windows to close first.
        QCoreApplication::exit(0);
    });
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

// The AJA card wins when both kinds are present. Both back-ends run passive:
// the video format the card is set to is followed, not imposed. A back-end
// that fails to start is released before the next one is tried.
QiRaster* chooseRaster(const char* program) {
    auto* kona = new KonaRaster(true);
    if (kona->init()) {
        gOutput->trace(QiOutput::Info, "%s: using KonaRaster()\n", program);
        return kona;
    }
    delete kona;
    auto* bmd = new BmdRaster(true);
    if (bmd->init()) {
        gOutput->trace(QiOutput::Info, "%s: using BmdRaster()\n", program);
        return bmd;
    }
    delete bmd;
    return nullptr;
}

void DNSSD_API onRegistered(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType error,
                            const char* name, const char* type, const char*, void*) {
    if (error == kDNSServiceErr_NoError)
        gOutput->trace(QiOutput::Info, "%s: registered %s (%s)\n", "Bonjour", name, type);
    else
        gOutput->trace(QiOutput::Warning, "%s: registration failed (%d)\n", "Bonjour",
                       static_cast<int>(error));
}

// The value of Qt's command-line option `name` ("-platform", "-display"), or
// null when it is not given.
const char* qtOption(int argc, char** argv, const char* name) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0 ||
            (argv[i][0] == '-' && std::strcmp(argv[i] + 1, name) == 0))
            return argv[i + 1];
    return nullptr;
}

// Without an X display Qt takes the Wayland session, provided it has the
// platform plugin for it and the compositor's socket answers; otherwise it
// falls back to X11 and aborts.
bool waylandUsable(const char* name, std::string& problem) {
    std::string path = name;
    if (path[0] != '/') {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        path = std::string(runtime ? runtime : "") + "/" + name;
    }
    bool answers = false;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() < sizeof address.sun_path) {
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        answers =
            fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (fd >= 0) close(fd);
    }
    QStringList folders = QCoreApplication::libraryPaths();
    for (QString& folder : folders)
        folder += "/platforms";
    if (const char* own = std::getenv("QT_QPA_PLATFORM_PLUGIN_PATH"))
        folders << QString::fromLocal8Bit(own);
    bool plugin = false;
    for (const QString& folder : folders)
        plugin |= !QDir(folder).entryList({"libqwayland*"}, QDir::Files).isEmpty();
    if (answers && plugin) return true;
    problem = std::string("DISPLAY is not set, and the Wayland display \"") + name + "\" " +
              (answers ? "needs a Qt Wayland platform plugin, which is not installed"
                       : "does not answer");
    return false;
}

// Qt aborts the process when its X11 platform cannot reach a display. Looks
// before Qt does; false with `problem` set when the X display Qt would use
// cannot be opened, or when without one the Wayland session cannot be used
// either. Another platform chosen for Qt is Qt's to judge. The connection
// that proved the display is handed back in `held`, to be closed only once Qt
// has its own: an X server with no other client resets when its last client
// leaves, and would refuse Qt in the meantime.
bool xDisplayUsable(int argc, char** argv, std::string& problem, xcb_connection_t*& held) {
    const char* platform = qtOption(argc, argv, "-platform");
    if (!platform) platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform && std::strncmp(platform, "xcb", 3) != 0) return true;
    const char* display = qtOption(argc, argv, "-display");
    if (!display) display = std::getenv("DISPLAY");
    if (!display || !*display) {
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        if (!platform && wayland && *wayland) return waylandUsable(wayland, problem);
        problem = "DISPLAY is not set";
        return false;
    }
    xcb_connection_t* connection = xcb_connect(display, nullptr);
    const bool usable = xcb_connection_has_error(connection) == 0;
    if (usable)
        held = connection;
    else
        xcb_disconnect(connection);
    if (!usable) problem = std::string("cannot open the X display \"") + display + "\"";
    return usable;
}

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return std::string();
    return name;
}

} // namespace

int main(int argc, char** argv) {
    std::string displayProblem;
    xcb_connection_t* displayProof = nullptr;
    if (!xDisplayUsable(argc, argv, displayProblem, displayProof)) {
        std::fprintf(stderr,
                     "%s: no usable X display (%s); start the generator with scripts/run.sh, "
                     "which starts a virtual one, or set DISPLAY to a running X server\n",
                     argv[0], displayProblem.c_str());
        return 1;
    }
    Q_INIT_RESOURCE(kettlebright);
    QApplication app(argc, argv);
    if (displayProof) xcb_disconnect(displayProof);
    // Qt switches the C library to the user's locale; numbers in trace lines
    // and on the wire must keep the decimal point.
    std::setlocale(LC_NUMERIC, "C");
    // A client that drops its connection must not take the server down with
    // it: failed writes report EPIPE instead.
    std::signal(SIGPIPE, SIG_IGN);
    installStopSignals(app);

    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        QMessageBox::critical(nullptr, QObject::tr("Kettlebright"),
                              QObject::tr("System tray is not available on this platform"),
                              QMessageBox::Ok, QMessageBox::NoButton);
        return 1;
    }
    QApplication::setQuitOnLastWindowClosed(false);

    // The output back-end, made once. It goes at the end of main, after the
    // engine has stopped its render thread and everything else that reaches
    // it through the engine (XML-RPC server, tray, panel) is gone: the AJA
    // card's stream is given back and the DeckLink output disabled, so the
    // next start finds the card free.
    const std::unique_ptr<QiRaster> raster(chooseRaster(argv[0]));
    if (!raster) {
        gOutput->trace(QiOutput::Error, "%s: Coudn't find a valid Video Card\n", argv[0]);
        QMessageBox box;
        box.setInformativeText(QObject::tr("Coudn't find a valid Video Card"));
        box.setWindowModality(Qt::WindowModal);
        box.exec();
        std::exit(1);
    }

    const unsigned short port = portFromEnvironment("KB_XMLRPC_PORT", kMtcXmlRpcPort);
    const unsigned short discoveryPort = portFromEnvironment("KB_DISCOVERY_PORT", kBcRequestPort);
    const unsigned short answerPort =
        portFromEnvironment("KB_DISCOVERY_ANSWER_PORT", kBcAnswerPort);

    OsDep osDep(kAppId);
    std::string resources;
    const std::string dataPath = osDep.getResourcePath(resources) + "mtdata";
    MtCore core(raster.get(), nullptr, dataPath.c_str());

    std::string homePath;
    osDep.getHomePath(homePath);
    // Both scans finish before any client can connect. Without a home folder
    // the user's patterns folder would be looked for at the root of the file
    // system, and plug-ins loaded from there.
    core.scanFolder((dataPath + "/ImageFiles/UserImages").c_str(), "user/");
    if (homePath.empty())
        gOutput->trace(QiOutput::Warning, "%s: HOME is not set; user patterns are not scanned\n",
                       "main");
    else
        core.scanFolder((homePath + "/Documents/Brindlecap/Patterns").c_str(), "user/");

    RynMain ryn(core, osDep, false, kIconPath, kAboutPicturePath, kVersion);
    ryn.setWindowFlags(Qt::Tool);

    // The version query reports it as "Serial"; it must be set before the
    // server thread starts.
    const std::string serial = hostName();
    core.serial = serial.c_str();
    MtcXmlRpcIo xmlRpc(&core, nullptr, port);

    // Queued before any network service starts, so it is always the first
    // command the render thread processes.
    QiArgRetVal startRequest;
    startRequest.set("Pattern", "Colorbars");
    core.asyncSetGen(startRequest);

    // The XML-RPC port is bound before anything announces it: when it is
    // not ours (a second instance, another program on it), announcing it
    // would send clients to whoever holds it.
    DNSServiceRef registration = nullptr;
    if (xmlRpc.serve(port)) {
        // Bonjour. Without a reachable daemon the registration fails;
        // discovery and XML-RPC serve the generator all the same.
        setenv("AVAHI_COMPAT_NOWARN", "1", 0);
        DNSServiceErrorType error =
            DNSServiceRegister(&registration, 0, 0, kServiceName, kServiceType, nullptr, nullptr,
                               htons(port), 0, nullptr, onRegistered, nullptr);
        if (error != kDNSServiceErr_NoError) {
            gOutput->trace(QiOutput::Warning,
                           "%s: DNSServiceRegister failed (%d); not announced by Bonjour\n", "main",
                           static_cast<int>(error));
            registration = nullptr; // nothing to withdraw
        }

        g_ssr = new BcServiceResponder(discoveryPort, answerPort);
        g_ssr->registerService(kDiscoveryServiceId, port, nullptr);
        g_ssr->start();
    } else {
        const std::string why = std::generic_category().message(errno);
        gOutput->trace(QiOutput::Error,
                       "%s: XML-RPC port %u cannot be used (%s); the generator is not announced "
                       "by Bonjour or discovery and takes no remote control\n",
                       "main", static_cast<unsigned>(port), why.c_str());
        ryn.setTrayNote(QObject::tr("Not serving: port %1 cannot be used (%2)")
                            .arg(port)
                            .arg(QString::fromStdString(why)));
    }

    const int result = app.exec();

    // Withdraw both announcements before the server goes away, so nobody is
    // sent to a port that no longer answers.
    if (registration) DNSServiceRefDeallocate(registration);
    delete g_ssr; // stops and joins the responder thread
    g_ssr = nullptr;
    // The rest goes in reverse order of creation: start-up request, XML-RPC
    // server (its thread is joined before the engine stops), tray, engine
    // (stops the render thread), OsDep, output back-end (gives the card
    // back), application object.
    return result;
}
