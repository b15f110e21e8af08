#pragma once
// IOPCEventAreaBrowser over the tag tree: branches are areas, tags with alarms are sources.
// Each browser keeps its own position (segments from the root).
#include <windows.h>
#include <string>
#include <vector>
#include "qvopc.h"
#include "server/ServerObject.h"

namespace qv {

class COPCEventAreaBrowser : public IOPCEventAreaBrowser, public ServerObject<COPCEventAreaBrowser> {
public:
    COPCEventAreaBrowser() = default;
    virtual ~COPCEventAreaBrowser() = default;
    void lastReleased() {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCAEBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override;
    HRESULT STDMETHODCALLTYPE BrowseOPCAreas(OPCAEBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                             LPENUMSTRING* ppIEnumString) override;
    HRESULT STDMETHODCALLTYPE GetQualifiedAreaName(LPCWSTR szAreaName, LPWSTR* pszQualifiedAreaName) override;
    HRESULT STDMETHODCALLTYPE GetQualifiedSourceName(LPCWSTR szSourceName, LPWSTR* pszQualifiedSourceName) override;

private:
    // Under the global lock (a client may call from several threads at once).
    std::vector<std::string> position_;
};

} // namespace qv
