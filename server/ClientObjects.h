#pragma once
// Every object handed to one client that has a COM identity of its own (its groups, event
// subscriptions, enumerators and their clones, connection points and containers reached
// through FindConnectionPoint or GetConnectionPointContainer). When the client is reclaimed
// each one still alive is disconnected from COM, so the references its dead process held are
// dropped and nothing it held of the server stays. Objects come here on creation
// (newServerObject takes the list) or when first handed out, never by a separate step.
#include <windows.h>
#include <unknwn.h>
#include <memory>
#include <mutex>
#include <vector>

namespace qv {

class ClientObjects {
public:
    explicit ClientObjects(DWORD number = 0) : clientNumber(number) {}
    // The client's number in the trace (0: none), so every object it holds can name it.
    const DWORD clientNumber;

    // identity: any interface of the object; life: what keeps the object alive while it is
    // disconnected. False when the list was already walked (the client is gone).
    bool add(IUnknown* identity, std::weak_ptr<const void> life);
    // Disconnects every registered object still alive (no lock of ours held) and closes the
    // list: later objects are refused.
    void disconnectAll();
    bool closed();
    // Entries kept (live and not yet swept).
    size_t size();

private:
    struct Entry {
        IUnknown* identity;
        std::weak_ptr<const void> life;
    };
    std::mutex m_;
    std::vector<Entry> entries_;
    size_t sweepAt_ = 64;
    bool closed_ = false;
};

} // namespace qv
