// What the port-forward layers need from the session layer: a session for each accepted
// connection, the end of a layer's session, and a line of text in a layer's session. The layers
// may not include the session layer, so it installs this interface (src/session does so for every
// session list; tests install their own).
//
// Every call comes from a listener's or worker's own thread; an implementation does its work on
// the user-interface thread and, because a layer only names itself, finds the session by the
// chain that holds the layer: a chain that is no longer in a session is left alone.
#pragma once

#include <string>
#include <vector>

namespace tarnwick {

class IO;
class IO_SocketListener;

struct AcceptedConnection {
    int socket = -1;                  // the accepted connection; the callee takes it over
    std::vector<int> layer_template;  // the listener chain's layer types, top to bottom
    std::string title;                // the new session's title, such as "SSL: localhost"
};

class ForwardedSessions {
  public:
    virtual ~ForwardedSessions() = default;
    // Builds and opens the session of an accepted connection from the template, with a worker in
    // the listener's place. Takes the socket in every case (closing it when no session is
    // made). False when the template holds a layer this build cannot make: the listener stops.
    virtual bool OpenAccepted(IO_SocketListener* listener, AcceptedConnection connection) = 0;
    // Disconnects the session whose chain holds layer.
    virtual void DisconnectOwner(IO* layer) = 0;
    // Shows text in the session whose chain holds layer, through the layer's Display.
    virtual void Show(IO* layer, const std::string& text) = 0;
};

// Installs the implementation (nullptr removes it); returns the previous one.
ForwardedSessions* SetForwardedSessions(ForwardedSessions* sessions);
ForwardedSessions* GetForwardedSessions();

}  // namespace tarnwick
