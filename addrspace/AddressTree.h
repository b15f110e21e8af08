#pragma once
// Walks over the branch/leaf tree that the tag names form: organization, node at a browse
// position, node by path text, and the listings behind BrowseOPCItemIDs. Every call runs
// with the global lock held by the caller; nodes are compared by their short names.
#include <windows.h>
#include <string>
#include <vector>
#include "addrspace/OPCTag.h"
#include "browse/PatternMatch.h"

namespace qv {

// The three leaf filters of a listing; all must pass.
class LeafFilter {
public:
    // text: the narrowed filter (empty passes every leaf); vt: VT_EMPTY passes every leaf;
    // rights: 0 passes every leaf, else its bits 0 and 1 must equal the leaf's rights.
    explicit LeafFilter(const std::string& text = std::string(), VARTYPE vt = VT_EMPTY, DWORD rights = 0);
    bool passes(const OPCTag& leaf) const;

private:
    Pattern pattern_;
    bool anyName_;
    VARTYPE vt_;
    DWORD rights_;
};

class AddressTree {
public:
    AddressTree(const OPCTag& root, char delimiter, bool matchCase)
        : root_(root), delimiter_(delimiter), matchCase_(matchCase) {}
    // The server's tree with the current delimiter and match-case flag.
    static AddressTree current();

    // OPC_NS_HIERARCHIAL when a child of the root has children, else OPC_NS_FLAT.
    DWORD organization() const;
    // The child whose short name equals the segment: the first branch, else the first leaf.
    const OPCTag* childByShortName(const OPCTag& node, const std::string& segment) const;
    // The node at a position (segment list from the root); the empty list is the root.
    const OPCTag* nodeAt(const std::vector<std::string>& position) const;
    // The node that a path text names (split at the delimiter); the empty text names none.
    const OPCTag* nodeByName(const std::string& path, bool* isLeaf = nullptr) const;
    // Appends the listing of the node at position for OPC_BRANCH, OPC_LEAF or OPC_FLAT
    // (other types list nothing); returns the number of strings added.
    size_t listChildren(const std::vector<std::string>& position, DWORD browseType, const LeafFilter& filter,
                        std::vector<std::string>& out) const;
    // Full names of the leaves below node, depth first in creation order.
    size_t flatList(const OPCTag& node, const LeafFilter& filter, std::vector<std::string>& out) const;

    // The position's path text: its segments joined with the delimiter.
    std::string pathText(const std::vector<std::string>& position) const;

private:
    bool shortNameEquals(const OPCTag& node, const std::string& segment) const;
    const OPCTag& root_;
    char delimiter_;
    bool matchCase_;
};

} // namespace qv
