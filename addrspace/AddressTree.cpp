#include "addrspace/AddressTree.h"
#include <utility>
#include "addrspace/OPCTagStore.h"
#include "core/OPCServerApp.h"
#include "qvopc.h"

namespace qv {

LeafFilter::LeafFilter(const std::string& text, VARTYPE vt, DWORD rights)
    : pattern_(text), anyName_(text.empty()), vt_(vt), rights_(rights)
{
}

bool LeafFilter::passes(const OPCTag& leaf) const
{
    if (vt_ != VT_EMPTY && leaf.canonicalType() != vt_) return false;
    if (rights_ != 0 && (rights_ & 3) != (leaf.accessRights() & 3)) return false;
    // The filter is matched against the full name, case-sensitively whatever the flag.
    return anyName_ || pattern_.matches(leaf.name);
}

AddressTree AddressTree::current()
{
    OPCServerApp& app = App();
    return AddressTree(app.root, app.delimiter, app.matchCase());
}

DWORD AddressTree::organization() const
{
    for (const OPCTag* c : root_.children)
        if (!c->children.empty()) return OPC_NS_HIERARCHIAL;
    return OPC_NS_FLAT;
}

bool AddressTree::shortNameEquals(const OPCTag& node, const std::string& segment) const
{
    // Compared in place: a listing of a large branch must not allocate per child.
    const std::string& n = node.name;
    const size_t p = n.rfind(delimiter_);
    const size_t start = p == std::string::npos ? 0 : p + 1;
    const size_t len = n.size() - start;
    if (len != segment.size()) return false;
    if (matchCase_) return n.compare(start, len, segment) == 0;
    for (size_t i = 0; i < len; ++i) {
        char a = n[start + i], b = segment[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

const OPCTag* AddressTree::childByShortName(const OPCTag& node, const std::string& segment) const
{
    // Linear in creation order (a tag's short name is not the key of the store's index,
    // which holds full names). Tag A.X and branch X (of A.X.Y) share a short name under A:
    // the first branch wins over leaves, so a listed branch can always be entered; among
    // equals of one kind the first wins.
    const OPCTag* firstLeaf = nullptr;
    for (const OPCTag* c : node.children) {
        if (!shortNameEquals(*c, segment)) continue;
        if (!c->children.empty()) return c;
        if (!firstLeaf) firstLeaf = c;
    }
    return firstLeaf;
}

const OPCTag* AddressTree::nodeAt(const std::vector<std::string>& position) const
{
    const OPCTag* node = &root_;
    for (const std::string& seg : position) {
        node = childByShortName(*node, seg);
        if (!node) return nullptr;
    }
    return node;
}

const OPCTag* AddressTree::nodeByName(const std::string& path, bool* isLeaf) const
{
    if (isLeaf) *isLeaf = false;
    // Only a well-formed name designates a node: "A." or "A..B" would name A again, and a
    // client browsing down such an ID would never end.
    if (!validTagName(path, delimiter_)) return nullptr;
    std::vector<std::string> segs = splitName(path, delimiter_);
    if (segs.empty()) return nullptr;
    const OPCTag* node = nodeAt(segs);
    if (node && isLeaf) *isLeaf = node->children.empty();
    return node;
}

size_t AddressTree::listChildren(const std::vector<std::string>& position, DWORD browseType,
                                 const LeafFilter& filter, std::vector<std::string>& out) const
{
    const OPCTag* node = nodeAt(position);
    if (!node) return 0;
    const size_t before = out.size();
    switch (browseType) {
    case OPC_BRANCH:
        for (const OPCTag* c : node->children)
            if (!c->children.empty()) out.push_back(c->name);
        break;
    case OPC_LEAF:
        for (const OPCTag* c : node->children)
            if (c->children.empty() && filter.passes(*c)) out.push_back(c->shortName(delimiter_));
        break;
    case OPC_FLAT:
        flatList(*node, filter, out);
        break;
    default:
        break;
    }
    return out.size() - before;
}

size_t AddressTree::flatList(const OPCTag& node, const LeafFilter& filter, std::vector<std::string>& out) const
{
    // Depth first with an explicit stack: a name with very many segments makes a deep tree.
    const size_t before = out.size();
    std::vector<std::pair<const OPCTag*, size_t>> stack;
    stack.emplace_back(&node, 0);
    while (!stack.empty()) {
        auto& top = stack.back();
        if (top.second >= top.first->children.size()) {
            stack.pop_back();
            continue;
        }
        const OPCTag* c = top.first->children[top.second++];
        if (!c->children.empty()) stack.emplace_back(c, 0);
        else if (filter.passes(*c)) out.push_back(c->name);
    }
    return out.size() - before;
}

std::string AddressTree::pathText(const std::vector<std::string>& position) const
{
    std::string text;
    for (size_t i = 0; i < position.size(); ++i) {
        if (i) text.push_back(delimiter_);
        text += position[i];
    }
    return text;
}

} // namespace qv
