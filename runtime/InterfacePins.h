#pragma once
// Keeps every interface a server serves (the OPC server's, or a given list) registered with
// COM's RPC layer from start to stop. Wine's COM unregisters an interface when the last stub
// of it in the process goes, waiting for its calls under a process-wide lock, and deadlocks there against threads that
// marshal an interface out meanwhile (a client releasing its last enumerator while another
// browses). One stub per interface, made at start and never reached by anyone, keeps each
// registration alive so that unregistering never happens while clients come and go.
#include <windows.h>
#include <objbase.h>
#include <vector>

namespace qv {

class InterfacePins {
public:
    InterfacePins() = default;
    ~InterfacePins();
    InterfacePins(const InterfacePins&) = delete;
    InterfacePins& operator=(const InterfacePins&) = delete;

    // In the server's apartment, after COM was joined. An interface whose proxy/stub is not
    // registered is left out (the server cannot hand it out either). Returns the count pinned.
    // Without a list: every interface the OPC server serves.
    size_t pin(const IID* const* iids = nullptr, size_t count = 0);
    // Before the server leaves COM.
    void release();

private:
    std::vector<IStream*> streams_; // one marshaled stub each, table-strong
    std::vector<const IID*> iids_;  // what the pins answer for
    IUnknown* object_ = nullptr;     // what the stubs hold, kept until the pins go
};

} // namespace qv
