// Browsing a large address space in-process: 100,000 tags, 1,000 per branch. Prints the cost
// of each browse operation; listing one branch should cost its children, not the tree.
//   browse_bench [branches] [tagsPerBranch]
#include <windows.h>
#include <objbase.h>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>
#include "qvopc.h"
#include "core/OPCServerApp.h"
#include "server/OPCServer.h"

using namespace qv;

namespace {

double nowMs()
{
    static LARGE_INTEGER freq = [] { LARGE_INTEGER f; QueryPerformanceFrequency(&f); return f; }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return 1000.0 * static_cast<double>(c.QuadPart) / static_cast<double>(freq.QuadPart);
}

ULONG drain(IEnumString* e)
{
    ULONG total = 0;
    LPOLESTR batch[256];
    ULONG n = 0;
    for (;;) {
        HRESULT hr = e->Next(256, batch, &n);
        for (ULONG i = 0; i < n; ++i) CoTaskMemFree(batch[i]);
        total += n;
        if (hr != S_OK || n == 0) break;
    }
    return total;
}

template <class F>
void measure(const char* what, int rounds, F&& f)
{
    ULONG items = 0;
    double t0 = nowMs();
    for (int i = 0; i < rounds; ++i) items = f(i);
    double per = (nowMs() - t0) / rounds;
    printf("  %-52s %10.3f ms/op  (%lu strings, %d rounds)\n", what, per, static_cast<unsigned long>(items), rounds);
}

// Every element below id through IOPCBrowse in pages of `page` (continuation points), depth
// first; counts the calls and the items seen.
void walk3(IOPCBrowse* b, const std::wstring& id, DWORD page, ULONG* calls, ULONG* items)
{
    LPWSTR cp = nullptr;
    DWORD none = 0;
    std::vector<std::wstring> branches;
    do {
        BOOL more = FALSE;
        DWORD n = 0;
        OPCBROWSEELEMENT* e = nullptr;
        HRESULT hr = b->Browse(const_cast<LPWSTR>(id.c_str()), &cp, page, OPC_BROWSE_FILTER_ALL,
                               const_cast<LPWSTR>(L""), const_cast<LPWSTR>(L""), FALSE, FALSE, 0, &none, &more, &n, &e);
        ++*calls;
        if (FAILED(hr)) break;
        for (DWORD i = 0; i < n; ++i) {
            if (e[i].dwFlagValue & OPC_BROWSE_HASCHILDREN) branches.push_back(e[i].szItemID);
            if (e[i].dwFlagValue & OPC_BROWSE_ISITEM) ++*items;
            CoTaskMemFree(e[i].szName);
            CoTaskMemFree(e[i].szItemID);
        }
        CoTaskMemFree(e);
    } while (cp && *cp);
    CoTaskMemFree(cp);
    for (const auto& br : branches) walk3(b, br, page, calls, items);
}

// The whole space: the DA 2.0 flat listing (one call, drained) against the DA 3.0 tree walk in
// pages of 1,000. Several runs; min/median/max and the ratio to the flat listing.
void compareFullTree(OPCServer* server, IOPCBrowseServerAddressSpace* b2)
{
    IOPCBrowse* b3 = nullptr;
    if (server->QueryInterface(IID_IOPCBrowse, reinterpret_cast<void**>(&b3)) != S_OK) return;
    const int runs = 7;
    std::vector<double> flat, tree;
    ULONG calls = 0, items = 0, strings = 0;
    for (int r = 0; r < runs; ++r) {
        double t0 = nowMs();
        IEnumString* e = nullptr;
        b2->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, &e);
        strings = drain(e);
        e->Release();
        flat.push_back(nowMs() - t0);
        calls = items = 0;
        t0 = nowMs();
        walk3(b3, L"", 1000, &calls, &items);
        tree.push_back(nowMs() - t0);
    }
    std::sort(flat.begin(), flat.end());
    std::sort(tree.begin(), tree.end());
    auto mid = [](const std::vector<double>& v) { return v[v.size() / 2]; };
    printf("  full tree, %d runs (min / median / max):\n", runs);
    printf("    DA 2.0 flat listing, 1 call + drain (%lu strings)      %8.1f / %8.1f / %8.1f ms\n",
           static_cast<unsigned long>(strings), flat.front(), mid(flat), flat.back());
    printf("    DA 3.0 Browse, pages of 1,000: %lu calls (%lu items)   %8.1f / %8.1f / %8.1f ms\n",
           static_cast<unsigned long>(calls), static_cast<unsigned long>(items), tree.front(), mid(tree), tree.back());
    printf("    DA 3.0 time per Browse call (median)                  %8.3f ms\n", mid(tree) / calls);
    printf("    ratio DA 3.0 walk / DA 2.0 flat (medians)             %8.2f\n", mid(tree) / mid(flat));
    b3->Release();
}

void run(int branches, int perBranch)
{
    OPCServerApp& app = App();
    app.tags.clear();
    char name[64];
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_R8;
    double t0 = nowMs();
    for (int b = 0; b < branches; ++b)
        for (int t = 0; t < perBranch; ++t) {
            snprintf(name, sizeof name, "Area%03d.Tag%04d", b, t);
            V_R8(&v) = t;
            app.tags.create(name, v, 0xC0, (t & 1) != 0);
        }
    printf("%d tags (%d branches x %d): created in %.1f ms\n", branches * perBranch, branches, perBranch,
           nowMs() - t0);

    std::shared_ptr<OPCServer> server = OPCServer::create();
    IOPCBrowseServerAddressSpace* b = nullptr;
    if (!server || server->QueryInterface(IID_IOPCBrowseServerAddressSpace, reinterpret_cast<void**>(&b)) != S_OK) {
        printf("no browse interface\n");
        return;
    }
    snprintf(name, sizeof name, "Area%03d", branches - 1);
    std::wstring last(name, name + strlen(name));

    measure("QueryOrganization", 1000, [&](int) {
        OPCNAMESPACETYPE t;
        b->QueryOrganization(&t);
        return 0UL;
    });
    measure("list branches at the root", 100, [&](int) {
        IEnumString* e = nullptr;
        b->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, &e);
        ULONG n = drain(e);
        e->Release();
        return n;
    });
    measure("TO last branch + list its leaves", 100, [&](int) {
        b->ChangeBrowsePosition(OPC_BROWSE_TO, last.c_str());
        IEnumString* e = nullptr;
        b->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, &e);
        ULONG n = drain(e);
        e->Release();
        return n;
    });
    measure("list leaves of last branch, filter *Tag09## rights 3", 100, [&](int) {
        IEnumString* e = nullptr;
        b->BrowseOPCItemIDs(OPC_LEAF, L"*Tag09##", VT_EMPTY, 3, &e);
        ULONG n = drain(e);
        e->Release();
        return n;
    });
    measure("list leaves of last branch, not drained", 100, [&](int) {
        IEnumString* e = nullptr;
        b->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, &e);
        e->Release();
        return 0UL;
    });
    measure("GetItemID of the last leaf", 10000, [&](int) {
        LPWSTR id = nullptr;
        wchar_t leaf[16];
        swprintf(leaf, 16, L"Tag%04d", perBranch - 1);
        b->GetItemID(leaf, &id);
        CoTaskMemFree(id);
        return 1UL;
    });
    measure("UP + DOWN into the last branch", 1000, [&](int) {
        b->ChangeBrowsePosition(OPC_BROWSE_UP, L"");
        b->ChangeBrowsePosition(OPC_BROWSE_DOWN, last.c_str());
        return 0UL;
    });
    b->ChangeBrowsePosition(OPC_BROWSE_UP, L"");
    compareFullTree(server.get(), b);
    measure("flat listing of the whole space", 5, [&](int) {
        IEnumString* e = nullptr;
        b->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, &e);
        ULONG n = drain(e);
        e->Release();
        return n;
    });
    measure("flat listing, filter *Tag0001 (100 hits)", 5, [&](int) {
        IEnumString* e = nullptr;
        b->BrowseOPCItemIDs(OPC_FLAT, L"*Tag0001", VT_EMPTY, 0, &e);
        ULONG n = drain(e);
        e->Release();
        return n;
    });
    b->Release();
    server.reset();
    t0 = nowMs();
    app.tags.clear();
    printf("  cleared in %.1f ms\n", nowMs() - t0);
}

} // namespace

int main(int argc, char** argv)
{
    int branches = argc > 1 ? atoi(argv[1]) : 100;
    int perBranch = argc > 2 ? atoi(argv[2]) : 1000;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IMalloc* m = nullptr;
    CoGetMalloc(1, &m);
    App().taskAllocator = m;
    run(branches, perBranch);
    // The same branch size in a space 100 times smaller: branch costs should not change.
    run(branches > 1 ? 1 : branches, perBranch);
    fflush(stdout);
    CoUninitialize();
    return 0;
}
