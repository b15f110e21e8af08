// qvopc: a command-line OPC DA client (qvopc --help lists the commands and their options).
// Where the server offers them, browse uses IOPCBrowse (--da2 forces the old interface; there
// the filter matches element names), read --max-age uses IOPCItemIO, and a write with quality
// or time stamp IOPCItemIO::WriteVQT. Every time is printed and read in UTC, with a Z.
// events prints each event with its condition's state; --refresh first asks for every active or
// unacknowledged condition. ack finds the condition's current activation through a refresh and
// acknowledges it. This file holds main; QvopcTool.h names the other parts.
#include "QvopcTool.h"

int main(int argc, char** argv)
{
    using namespace qvopc;
    Options o;
    std::string cmd;
    std::vector<std::string> args;
    if (int rc = parseCommandLine(argc, argv, o, cmd, args)) return rc < 0 ? 0 : rc;
    if (!o.tracePath.empty() && !(g_trace = fopen(o.tracePath.c_str(), "a"))) {
        fprintf(stderr, "qvopc: cannot open %s\n", o.tracePath.c_str());
        return kBadCommand;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int rc;
    if (cmd == "servers") {
        rc = cmdServers(o); // asks the server browser, not a server
    } else {
        Ptr<IOPCServer> server;
        HRESULT hr = connect(o.progId, o.node, server);
        if (FAILED(hr)) {
            fprintf(stderr, "qvopc: cannot connect to %s: %s\n", o.progId.c_str(), errorText(hr).c_str());
            CoUninitialize();
            return kNoServer;
        }
        rc = runCommand(server.get(), cmd, args, o);
        g_server = nullptr;
    }
    fflush(stdout);
    CoUninitialize();
    if (g_trace) fclose(g_trace);
    return rc;
}
