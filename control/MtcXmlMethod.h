// The XML-RPC methods of the remote-control server.
//
// Each method is registered with the server by name when it is constructed
// and reaches the engine through the server's MtcXmlPrivates. All of them run
// on the server thread, one request at a time. Method errors are replies
// ("bad parameters", "error", the int -1, ...), not faults; a parameter of the
// wrong type is the library's type-error fault.
#pragma once

#include <xmlrpcpp/XmlRpc.h>

#include <string>

class MtcXmlPrivates;

// Base of the eight methods: the owning server's private part.
class MtcXmlMethod : public XmlRpc::XmlRpcServerMethod {
public:
    MtcXmlMethod(const char* name, MtcXmlPrivates* owner);
    ~MtcXmlMethod() override;
    void execute(XmlRpc::XmlRpcValue& params, XmlRpc::XmlRpcValue& result) override = 0;
    std::string help() override;

protected:
    MtcXmlPrivates* owner;
};

// Selects a pattern (by name or by struct) and sets generator options; the
// reply is the queued command's id. A struct with "Log" redirects tracing.
class SetGen : public MtcXmlMethod {
public:
    explicit SetGen(MtcXmlPrivates* owner);
    void execute(XmlRpc::XmlRpcValue& params, XmlRpc::XmlRpcValue& result) override;
    std::string help() override;
};

// Without a parameter the pattern and alias list; with a name the pattern's
// option descriptions.
class PatternOption : public MtcXmlMethod {
public:
    explicit PatternOption(MtcXmlPrivates* owner);
    void execute(XmlRpc::XmlRpcValue& params, XmlRpc::XmlRpcValue& result) override;
    std::string help() override;
};

// The generator option descriptions, the generator settings and the current
// pattern's arguments.
class GetGenOptions : public MtcXmlMethod {
public:
    explicit GetGenOptions(MtcXmlPrivates* owner);
    void execute(XmlRpc::XmlRpcValue& params, XmlRpc::XmlRpcValue& result) override;
    std::string help() override;
};

// Stores an alias from a struct or from the current pattern.
class SetAlias : public MtcXmlMethod {
public:
    explicit SetAlias(MtcXmlPrivates* owner);
    void execute(XmlRpc::XmlRpcValue& params, XmlRpc::XmlRpcValue& result) override;
    std::string help() override;
};

// Turns the image files of a folder into aliases, or flushes such aliases.
class MMCAlias : public MtcXmlMethod {
public:
    explicit MMCAlias(MtcXmlPrivates* owner);
    void execute(XmlRpc::XmlRpcValue& params, XmlRpc::XmlRpcValue& result) override;
    std::string help() override;
};

// Software, gateware, OS, serial and application versions.
class GetDreskoVersion : public MtcXmlMethod {
public:
    explicit GetDreskoVersion(MtcXmlPrivates* owner);
    void execute(XmlRpc::XmlRpcValue& params, XmlRpc::XmlRpcValue& result) override;
    std::string help() override;
};

// The output's EDID block as base64.
class ReadEdid : public MtcXmlMethod {
public:
    explicit ReadEdid(MtcXmlPrivates* owner);
    void execute(XmlRpc::XmlRpcValue& params, XmlRpc::XmlRpcValue& result) override;
    std::string help() override;
};

// Has the output re-read its list of video formats.
class RescanFormats : public MtcXmlMethod {
public:
    explicit RescanFormats(MtcXmlPrivates* owner);
    void execute(XmlRpc::XmlRpcValue& params, XmlRpc::XmlRpcValue& result) override;
    std::string help() override;
};

// The longest prefix of `text` of at most `maxBytes` bytes that does not end
// inside a UTF-8 sequence.
std::string mtcCutUtf8(const std::string& text, size_t maxBytes);
