#pragma once
#include <windows.h>
#include <deque>
#include <memory>
#include <string>
#include <vector>
#include "addrspace/ClientIdentity.h"
#include "addrspace/OPCTag.h"
#include "addrspace/TagSubscribers.h"

struct tagOPCITEMDEF;
struct tagOPCITEMRESULT;
struct tagOPCITEMVQT;

namespace qv {

// Splits a name at the delimiter: "A.B.C" -> A, B, C; "A." -> A; "A..C" -> A, "", C; "" -> none.
std::vector<std::string> splitName(const std::string& name, char delimiter);
// A name QV_CreateTag takes: not empty, no empty segment, no leading or trailing delimiter.
bool validTagName(const std::string& name, char delimiter);
// Access path and item ID joined into the full tag name.
std::string fullTagName(const std::string& accessPath, const std::string& itemId, char delimiter);

// Maps 32-bit tag handles to records. Handles carry a generation so that the handle of a
// removed tag never designates a later one (until the same slot is reused 255 times).
// A slot also holds what a host update writes (the tag's state) and the tag's follower link,
// so an update reads one cache line here and then its items, never the tag. Slots live in
// fixed chunks: a state or link never moves.
class TagHandleTable {
public:
    struct alignas(64) Slot {
        TagState state;
        FollowerLink link;
        OPCTag* tag = nullptr;
        BYTE gen = 0;
    };
    // The tag's slot; null (nothing changed) when the table is full or out of memory.
    Slot* add(OPCTag* tag, DWORD* handle);
    Slot* find(DWORD handle) const;
    OPCTag* resolve(DWORD handle) const
    {
        Slot* s = find(handle);
        return s ? s->tag : nullptr;
    }
    void remove(DWORD handle);
    size_t size() const { return live_; }

private:
    static constexpr DWORD kChunkBits = 12;
    Slot& at(DWORD index) const { return chunks_[index >> kChunkBits][index & ((1u << kChunkBits) - 1)]; }
    std::vector<std::unique_ptr<Slot[]>> chunks_;
    DWORD used_ = 0; // slots handed out so far, free or not
    std::deque<DWORD> free_;
    size_t live_ = 0;
};

// All tags with the operations of the host API and the client interfaces. The tree lives
// under the server state's root; everything here runs under the global lock unless noted.
class OPCTagStore {
public:
    explicit OPCTagStore(OPCTag& root) : root_(root) {}
    ~OPCTagStore();

    // The host functions below set the reason of a refusal with SetLastError (the codes the
    // host guide lists).
    DWORD create(const std::string& name, const VARIANT& value, WORD quality, bool writeable);
    bool remove(DWORD handle);
    // Updates value, quality and timestamp (now when ts is null), pushes them to the items,
    // evaluates the tag's alarms and queues their events. A value of another type is converted
    // to the tag's type; one that cannot be is refused (the tag's type never changes).
    bool update(DWORD handle, const VARIANT& value, WORD quality, const FILETIME* ts);
    bool updateByName(const std::string& name, const VARIANT& value, WORD quality);
    // A device read's answer, as an update: taken only in the tag's own type (converted when
    // it can be) and only when newer than what the tag holds. Returns whether it was taken.
    bool deviceValue(DWORD handle, const VARIANT& value, WORD quality, const FILETIME& ts);
    bool setCustomProperty(DWORD handle, DWORD id, const std::string& description, const VARIANT& value);
    bool setLevelLimits(DWORD handle, const LevelLimit limits[4]);
    // Copies the current value, quality and timestamp (any output may be null).
    bool read(DWORD handle, VARIANT* value, WORD* quality, FILETIME* ts);

    // Caller holds the global lock for these. A lookup finds tags only, never a branch node.
    OPCTag* resolve(DWORD handle) const { return handles_.resolve(handle); }
    OPCTag* lookup(const std::string& accessPath, const std::string& itemId) const;
    OPCTag* lookup(const std::string& fullName) const { return lookup(std::string(), fullName); }

    // Checks a client's item definition (AddItems, ValidateItems); fills result on success.
    HRESULT validateItem(const tagOPCITEMDEF& def, tagOPCITEMRESULT* result, OPCTag** tag);
    // The same with the definition's names already narrowed.
    HRESULT validateItem(const std::string& accessPath, const std::string& itemId, VARTYPE requested,
                         tagOPCITEMRESULT* result, OPCTag** tag);
    // A client's write of one item: the host's write callback decides, then the tag takes the
    // value (what the callback left in its copy), stamped with the time of acceptance, and
    // every item that follows the tag hears it as it would hear a host update. Called
    // without the global lock; takes it itself.
    // who: the writing client (a copy taken under the lock), for the host's write audit.
    HRESULT clientWrite(const ClientIdentity& who, const std::string& tagName, const VARIANT& value);
    // A client's write with quality and/or time stamp (either may be null): through the host's
    // VQT callback (OPC_E_NOTSUPPORTED without one), then into the tag and its followers.
    HRESULT clientWriteVQT(const ClientIdentity& who, const std::string& tagName, const VARIANT& value,
                           const WORD* quality, const FILETIME* timeStamp);
    // A client's write refused before it reached the host (rights, type, unknown handle):
    // reported to the host's write audit; returns hr. name may be empty, value null (an
    // object, never touched). Without the global lock.
    HRESULT refusedWrite(const ClientIdentity& who, const std::string& name, const VARIANT* value, HRESULT hr,
                         const WORD* quality = nullptr, const FILETIME* timeStamp = nullptr);
    // A refused DA 3.0 write: the audit gets the quality and time stamp the client sent.
    HRESULT refusedWrite(const ClientIdentity& who, const std::string& name, const tagOPCITEMVQT& vqt, HRESULT hr);

    TagSubscribers& subscribers() { return subscribers_; }
    // Destroys every node (library unload).
    void clear();

private:
    // Both client write paths: through the host's plain or VQT callback, then into the tag.
    HRESULT writeThroughHost(const std::string& tagName, const VARIANT& value, const WORD* quality,
                             const FILETIME* timeStamp, bool vqt, DWORD* handle, Variant* stored);
    // Tells the host's write audit, when there is one, of one write and its result.
    static void audit(const ClientIdentity& who, DWORD handle, const std::string& name, const VARIANT* value,
                      const VARIANT* stored, const WORD* quality, const FILETIME* timeStamp, HRESULT hr);
    static void pushToSubscribers(const TagState& tag, const FollowerLink& link);
    // The slot's new state to its followers, then its alarms' evaluation, whose events are
    // queued (lock held).
    // now: the clock reading the update was stamped with, when it was (saves reading it again).
    void publish(TagHandleTable::Slot* slot, const FILETIME* now = nullptr);
    // The node (tag or branch) a full name designates.
    OPCTag* findNode(const std::string& fullName) const;
    OPCTag& root_;
    TagHandleTable handles_;
    TagSubscribers subscribers_;
};

} // namespace qv
