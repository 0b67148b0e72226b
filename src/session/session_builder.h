// The session builder's part that differs by connection kind: the chain of layers below the
// terminal, one builder per kind in a table. A new connection kind adds its row here (and its
// facts in core/connection_kinds, its dialog in frontend/connection_form).
#pragma once

#include <span>

namespace tarnwick {

class IO;
class SessionConfig;

// True when this build can make the chain of a connection kind.
bool CanBuildChain(int kind);
// The chain below the terminal for the config's kind, linked from its top layer down; nullptr
// when the kind has none or a layer could not be made.
IO* BuildChain(SessionConfig& config);

// The chain of a connection accepted by a port-forward listener repeats the listener's template
// (its chain's layer types, top to bottom) with a worker holding the socket in the listener's
// place. True when every type in the template can be made (transfer filters are left out).
bool CanBuildTemplate(std::span<const int> layer_types);
// The layer for one type of the template, below the terminal (which the session list makes);
// nullptr for the types that are left out and for the terminal.
IO* MakeTemplateLayer(int layer_type, int socket);

}  // namespace tarnwick
