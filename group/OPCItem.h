#pragma once
#include <windows.h>
#include <oleauto.h>
#include <cstddef>
#include <new>
#include <string>
#include "addrspace/TagSubscribers.h"
#include "base/ComUtil.h"
#include "qvopc.h"

namespace qv {

class OPCGroup;
class OPCTag;
struct TagState;

// One client's reference to one tag inside one group. Refers to its tag by name only: it
// survives the tag's removal and follows a tag of that name created later. Every field is
// read and written under the global lock. Aligned so that what a host update touches is one
// cache line.
class alignas(64) OPCItem final : public TagSubscriber {
public:
    OPCItem() = default;
    ~OPCItem() override = default;
    OPCItem(const OPCItem&) = delete;
    OPCItem& operator=(const OPCItem&) = delete;
    // Items live packed in a pool (see ObjectPool).
    static void* operator new(std::size_t size);
    static void* operator new(std::size_t size, std::align_val_t) { return operator new(size); }
    static void operator delete(void* p) noexcept;
    static void operator delete(void* p, std::align_val_t) noexcept { operator delete(p); }
    static void* operator new(std::size_t size, const std::nothrow_t&) noexcept
    {
        try {
            return operator new(size);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    static void operator delete(void* p, const std::nothrow_t&) noexcept { operator delete(p); }

    // What every host update touches comes first: with the base class, the first 64 bytes on
    // 32 bit, then the EU span and the update count. The DA 2.0 callback path's state is inline
    // (changed, lastReported, reportedQuality); the DA 1.0 stream path keeps its own in
    // `stream`, so each path hears every change once.
    Variant value;        // cached, in the tag's type
    Variant lastReported; // the value the callback path last delivered: the deadband reference
    FILETIME timestamp{};
    WORD quality = 0;
    WORD reportedQuality = 0; // the quality the callback path last delivered
    bool changed = true;  // differs from what the callback path last delivered
    bool hasItemDeadband = false; // a per-item deadband overrides the group's
    bool forced = false;  // a report of the current value is owed (activation): only its delivery ends it
    OPCGroup* group = nullptr; // owner, for the group's deadband
    float euSpan = -1.0f; // EU high - low of a tag declared analog; negative: none
    DWORD updates = 0;    // host updates taken: a report confirmed with the same count left nothing newer

    // What one path last delivered, and whether the item differs from it.
    struct PathState {
        Variant reference;
        WORD quality = 0;
        bool changed = true;
        bool forced = false;
    };
    PathState stream; // the DA 1.0 stream path (followed once the group has its data object)

    OPCHANDLE serverHandle = 0;
    OPCHANDLE clientHandle = 0;
    std::string itemId;
    std::string accessPath;
    std::string tagName; // access path and item ID joined: used for every tag lookup
    VARTYPE canonicalType = VT_EMPTY;
    VARTYPE requestedType = VT_EMPTY;
    BOOL active = FALSE;
    DWORD accessRights = 0;
    float itemDeadband = 0.0f;

    // The value as the client should see it (requested type); any output may be null.
    HRESULT readValue(VARIANT* out, WORD* outQuality, FILETIME* outTime) const;
    // A client's new value: rights, conversion to the canonical type (in place), array
    // shape. Changes nothing: the value enters the cache only once the host accepted it.
    HRESULT checkWrite(VARIANT* inout) const;
    // The one place a path's change flag is cleared: a report carrying `sent` (the value in the
    // tag's type) and `sentQuality`, taken after `sentUpdates` host updates, returned from the
    // client without a transport failure. The reference becomes what was sent; the item stays
    // changed when it moved on meanwhile (global lock held).
    void delivered(bool streamPath, Variant& sent, WORD sentQuality, DWORD sentUpdates);
    // Whether `next` differs from a path's reference under the item's deadband rule.
    bool differs(const VARIANT& reference, WORD referenceQuality, const VARIANT& next, WORD nextQuality) const;
    // Marks both paths changed (activation: the current value goes out in the next report).
    // The mark holds until a report carrying the item is delivered: a host update that repeats
    // the reported value does not take it back.
    void markChanged()
    {
        changed = forced = true;
        stream.changed = stream.forced = true;
    }
    // Copies everything but the changed flag (a copy starts changed).
    void copyFrom(const OPCItem& other);
    // OPCITEMATTRIBUTES for the item enumerator (strings in task memory).
    HRESULT fillAttributes(OPCITEMATTRIBUTES* a) const;

    // Change detection: the host updated the tag this item follows (global lock held).
    void onTagUpdated(const TagState& tag) override;
};

} // namespace qv
