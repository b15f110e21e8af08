// The stop as a client meets it: ShutdownRequest from the thread that serves the client.
#include "server/OPCServer.h"
#include "core/OPCServerApp.h"
#include "base/CallOut.h"
#include "base/Trace.h"

namespace qv {

void OPCServer::requestShutdown(bool sinkInHostApartment)
{
    if (shutdownState_.load() != ShutdownState::None) return;
    if (sinkInHostApartment) {
        // A proxy marshaled for another apartment of this process: the worker's copy reaches
        // the client directly, so the host's thread need not make the call.
        ConnectionContainer<IOPCShutdown>* c = shutdownContainer();
        ComPtr<IOPCShutdown> sink = c ? c->point().sink() : ComPtr<IOPCShutdown>();
        if (!sink) {
            QV_TRACE(trace::kConnections, "%s has no shutdown sink: not told", traceName().c_str());
            shutdownState_ = ShutdownState::Answered;
            return;
        }
        IStream* stream = nullptr;
        if (FAILED(CoMarshalInterThreadInterfaceInStream(IID_IOPCShutdown, sink.get(), &stream))) {
            QV_TRACE(trace::kErrors, "%s: its shutdown sink cannot reach the worker; not told",
                     traceName().c_str());
            shutdownState_ = ShutdownState::Answered;
            return;
        }
        marshaledShutdownSink_ = stream;
    }
    ShutdownState none = ShutdownState::None;
    if (shutdownState_.compare_exchange_strong(none, ShutdownState::Asked)) wake();
}

void OPCServer::abandonShutdown()
{
    ShutdownState s = shutdownState_.load();
    while ((s == ShutdownState::Asked || s == ShutdownState::Sending) &&
           !shutdownState_.compare_exchange_weak(s, ShutdownState::Abandoned)) {
    }
    if (s != ShutdownState::Asked && s != ShutdownState::Sending) return;
    QV_TRACE(trace::kConnections, "%s did not answer ShutdownRequest within the stop's bound: abandoned",
             traceName().c_str());
    markDisconnected(RPC_E_TIMEOUT, "abandoned by the stop: no answer to ShutdownRequest within 2 s");
}

void OPCServer::serveShutdownRequest()
{
    ShutdownState asked = ShutdownState::Asked;
    if (!shutdownState_.compare_exchange_strong(asked, ShutdownState::Sending)) return;
    ComPtr<IOPCShutdown> sink;
    if (IStream* stream = marshaledShutdownSink_) {
        marshaledShutdownSink_ = nullptr;
        IOPCShutdown* p = nullptr;
        if (SUCCEEDED(CoGetInterfaceAndReleaseStream(stream, IID_IOPCShutdown, reinterpret_cast<void**>(&p))))
            sink = ComPtr<IOPCShutdown>(p, false);
    } else if (ConnectionContainer<IOPCShutdown>* c = shutdownContainer()) {
        sink = c->point().sink();
    }
    if (sink && !disconnected())
        sendShutdownRequest(sink);
    else if (!sink)
        QV_TRACE(trace::kConnections, "%s has no shutdown sink: not told", traceName().c_str());
    ShutdownState sending = ShutdownState::Sending;
    shutdownState_.compare_exchange_strong(sending, ShutdownState::Answered);
}

void OPCServer::sendShutdownRequest()
{
    ConnectionContainer<IOPCShutdown>* c = shutdownContainer();
    if (ComPtr<IOPCShutdown> sink = c ? c->point().sink() : ComPtr<IOPCShutdown>()) sendShutdownRequest(sink);
}

void OPCServer::sendShutdownRequest(const ComPtr<IOPCShutdown>& sink)
{
    ConnectionContainer<IOPCShutdown>* c = shutdownContainer();
    if (!c) return;
    WCHAR empty[1] = {0};
    ClientScope scope(this);
    const HRESULT hr = c->point().callSink(sink, [&](IOPCShutdown* s) { return s->ShutdownRequest(empty); });
    QV_TRACE(trace::kConnections, "%s told the server stops (ShutdownRequest -> 0x%08lX)", traceName().c_str(),
             static_cast<unsigned long>(hr));
}

} // namespace qv
