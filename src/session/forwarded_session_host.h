// The session layer's answer to the port-forward listeners and workers (ForwardedSessions): every
// session list registers itself while it exists, and a layer's request is carried out on the
// user-interface thread in the list whose session holds the layer.
#pragma once

namespace tarnwick {

class SessionList;

// Called by the session list's constructor and destructor. The first registration installs the
// session layer's ForwardedSessions.
void RegisterSessionList(SessionList* list);
void UnregisterSessionList(SessionList* list);

}  // namespace tarnwick
