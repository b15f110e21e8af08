#pragma once
// The built-in Alarms and Events handler: the fixed vocabulary behind IOPCEventServer, the
// subscription hooks, and the broadcast of tag level-alarm events to every subscription.
#include <windows.h>
#include <vector>
#include "addrspace/OPCTag.h"
#include "qvopc.h"

namespace qv {

class COPCEventSubscription;

// One server-wide object (OPCServerApp::eventHandler). The virtual operations keep the slot
// order of the OPC standard's method lists so that another handler could replace this one.
// Every out pointer it receives is non-null where IOPCEventServer checks it; the others may
// be null and are then left alone.
class EventHandler {
public:
    EventHandler() = default;
    virtual ~EventHandler();
    EventHandler(const EventHandler&) = delete;
    EventHandler& operator=(const EventHandler&) = delete;

    virtual HRESULT GetStatus(OPCEVENTSERVERSTATUS** ppEventServerStatus, const FILETIME& lastUpdateTime);
    virtual HRESULT QueryAvailableFilters(DWORD* pdwFilterMask);
    virtual HRESULT QueryEventCategories(DWORD dwEventType, DWORD* pdwCount, DWORD** ppdwEventCategories,
                                         LPWSTR** ppszEventCategoryDescs);
    virtual HRESULT QueryConditionNames(DWORD dwEventCategory, DWORD* pdwCount, LPWSTR** ppszConditionNames);
    virtual HRESULT QuerySubConditionNames(LPWSTR szConditionName, DWORD* pdwCount, LPWSTR** ppszSubConditionNames);
    virtual HRESULT QuerySourceConditions(LPWSTR szSource, DWORD* pdwCount, LPWSTR** ppszConditionNames);
    virtual HRESULT QueryEventAttributes(DWORD dwEventCategory, DWORD* pdwCount, DWORD** ppdwAttrIDs,
                                         LPWSTR** ppszAttrDescs, VARTYPE** ppvtAttrTypes);
    virtual HRESULT TranslateToItemIDs(LPWSTR szSource, DWORD dwEventCategory, LPWSTR szConditionName,
                                       LPWSTR szSubconditionName, DWORD dwCount, DWORD* pdwAssocAttrIDs,
                                       LPWSTR** ppszAttrItemIDs, LPWSTR** ppszNodeNames, CLSID** ppCLSIDs);
    virtual HRESULT GetConditionState(LPWSTR szSource, LPWSTR szConditionName, DWORD dwNumEventAttrs,
                                      DWORD* pdwAttributeIDs, OPCCONDITIONSTATE** ppConditionState);
    virtual HRESULT EnableConditionByArea(DWORD dwNumAreas, LPWSTR* pszAreas);
    virtual HRESULT EnableConditionBySource(DWORD dwNumSources, LPWSTR* pszSources);
    virtual HRESULT DisableConditionByArea(DWORD dwNumAreas, LPWSTR* pszAreas);
    virtual HRESULT DisableConditionBySource(DWORD dwNumSources, LPWSTR* pszSources);
    virtual HRESULT AckCondition(DWORD dwCount, LPWSTR szAcknowledgerID, LPWSTR szComment, LPWSTR* pszSource,
                                 LPWSTR* pszConditionName, FILETIME* pftActiveTime, DWORD* pdwCookie,
                                 HRESULT** ppErrors);
    virtual HRESULT CreateAreaBrowser(REFIID riid, LPUNKNOWN* ppUnk);
    virtual HRESULT OnSubscriptionCreated(COPCEventSubscription* sub, DWORD revisedBufferTime, DWORD revisedMaxSize,
                                          OPCHANDLE hClientSubscription);
    virtual HRESULT OnSubscriptionReleased(COPCEventSubscription* sub);
    virtual HRESULT SetFilter(COPCEventSubscription* sub, DWORD dwEventType, DWORD dwNumCategories,
                              DWORD* pdwEventCategories, DWORD dwLowSeverity, DWORD dwHighSeverity,
                              DWORD dwNumAreas, LPWSTR* pszAreaList, DWORD dwNumSources, LPWSTR* pszSourceList);
    virtual HRESULT GetFilter(COPCEventSubscription* sub, DWORD* pdwEventType, DWORD* pdwNumCategories,
                              DWORD** ppdwEventCategories, DWORD* pdwLowSeverity, DWORD* pdwHighSeverity,
                              DWORD* pdwNumAreas, LPWSTR** ppszAreaList, DWORD* pdwNumSources,
                              LPWSTR** ppszSourceList);
    virtual HRESULT SelectReturnedAttributes(COPCEventSubscription* sub, DWORD dwEventCategory, DWORD dwCount,
                                             DWORD* dwAttributeIDs);
    virtual HRESULT GetReturnedAttributes(COPCEventSubscription* sub, DWORD dwEventCategory, DWORD* pdwCount,
                                          DWORD** ppdwAttributeIDs);
    virtual HRESULT Refresh(COPCEventSubscription* sub, DWORD dwConnection);
    virtual HRESULT CancelRefresh(COPCEventSubscription* sub, DWORD dwConnection);
    virtual HRESULT GetState(COPCEventSubscription* sub, BOOL* pbActive, DWORD* pdwBufferTime, DWORD* pdwMaxSize,
                             OPCHANDLE* phClientSubscription);
    virtual HRESULT SetState(COPCEventSubscription* sub, BOOL* pbActive, DWORD* pdwBufferTime, DWORD* pdwMaxSize,
                             OPCHANDLE hClientSubscription, DWORD* pdwRevisedBufferTime,
                             DWORD* pdwRevisedMaxSize);

    // Queues a level-alarm event on every subscription with a sink, of every client, and
    // wakes those clients' workers. Called on the host thread that updated the tag; it never
    // calls a client, so it never waits for one.
    void broadcast(const EventRecord& ev);
};

// One ONEVENTSTRUCT in one block of task memory together with its five strings (each byte
// widened to 16 bits) and a copy of the attribute values. Null when out of memory.
ONEVENTSTRUCT* packEvent(const EventRecord& ev, const VARIANT* attributes = nullptr, DWORD attributeCount = 0);
// Clears the attribute copies and frees the block.
void freePackedEvent(ONEVENTSTRUCT* block);
// n events (no attributes) in one block: the array first, then every string. Null when out
// of memory.
ONEVENTSTRUCT* packEvents(const EventRecord* evs, size_t n);
void freePackedEvents(ONEVENTSTRUCT* block, size_t n);

// Destroys the subscriptions of a server that is going away (called without the global
// lock); a subscription the client still references stays in memory, inert, until its last
// Release.
void destroySubscriptions(std::vector<COPCEventSubscription*>& subs);

} // namespace qv
