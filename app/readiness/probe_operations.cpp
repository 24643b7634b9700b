// One request to the server's mode endpoint: does a compatible server of ours answer on our port?
#include "controller/app_delegate.h"
#include "probe/mode_request.h"

// Each probe has a connection of its own, closed as soon as it is judged: between probes the
// application holds no socket, thread or timer for them and is woken by none.
void TarvessaAudioServerAppDelegate::probeServer(std::function<void(bool)> completion)
{
    ++m_probesInFlight;
    requestMode(static_cast<quint16>(serverPort), m_timings.probeTimeout, this,
                [this, completion = std::move(completion)](bool compatible) {
                    --m_probesInFlight;
                    completion(compatible);
                });
}
