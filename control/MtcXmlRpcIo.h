// MtcXmlRpcIo: the generator's XML-RPC remote-control server.
//
// Calibration software drives the generator over XML-RPC on HTTP (TCP port
// 9022). The server runs on a thread of its own and answers one request at a
// time with the eight methods SetGen, PatternOption, GetGenOptions, SetAlias,
// MMCAlias, GetDreskoVersion, ReadEdid and RescanFormats, plus the library's
// "system.listMethods", "system.methodHelp" and "system.multicall". SetGen
// reaches the render thread through the engine's command queue; the other
// methods call the engine directly on the server thread.
//
// Every parameter and reply value travels as text: request structs become a
// QiArgRetVal (rpcValStruct_qiArv), maps go back as structs of strings
// (qiArv_rpcVal).
#pragma once

class MtCore;
class MtcXmlPrivates;
class QiArgRetVal;

namespace XmlRpc {
class XmlRpcServer;
class XmlRpcServerMethod;
class XmlRpcValue;
} // namespace XmlRpc

constexpr int kMtcXmlRpcPort = 9022;

class MtcXmlRpcIo {
public:
    // `core` may be null (every method then gives its placeholder reply).
    // `extraMethods` is null or a null-terminated list of methods that are
    // served besides the eight; this object owns and deletes them. `port` is
    // the one serve() listens on when called without one.
    explicit MtcXmlRpcIo(MtCore* core, XmlRpc::XmlRpcServerMethod** extraMethods = nullptr,
                         int port = kMtcXmlRpcPort);
    // Stops the server thread (within milliseconds), closes every connection
    // and deletes the methods. A trace redirection stays in place.
    ~MtcXmlRpcIo();
    MtcXmlRpcIo(const MtcXmlRpcIo&) = delete;
    MtcXmlRpcIo& operator=(const MtcXmlRpcIo&) = delete;

    // Binds and listens on `port`, then starts the server thread. Call once
    // per object. True when the server listens; a port that cannot be bound
    // is traced as an error and gives false with errno telling why, and no
    // thread is started.
    bool serve(int port);
    bool serve();

    // The library server inside, for adding methods from outside.
    XmlRpc::XmlRpcServer* getServer();

private:
    MtcXmlPrivates* d;
};

// Sets one text entry in `out` per member of the struct params[0]: booleans
// as "true"/"false", ints as "%d", doubles as "%f", strings unchanged; other
// member types are skipped with a trace line. A params[0] that is not a
// struct raises the library's type-error fault. False when a name or a text
// is not one a reply can carry (not UTF-8, or characters XML does not allow):
// the caller refuses the request.
bool rpcValStruct_qiArv(XmlRpc::XmlRpcValue& params, QiArgRetVal& out);

// Makes `out` a struct with one string member per entry of `in`.
bool qiArv_rpcVal(QiArgRetVal& in, XmlRpc::XmlRpcValue& out);
