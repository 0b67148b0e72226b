// The session builder's part that differs by connection kind: the chain of layers below the
// terminal, one builder per kind in a table. A new connection kind adds its row here (and its
// facts in core/connection_kinds, its dialog in frontend/connection_form).
#pragma once

namespace tarnwick {

class IO;
class SessionConfig;

// True when this build can make the chain of a connection kind.
bool CanBuildChain(int kind);
// The chain below the terminal for the config's kind, linked from its top layer down; nullptr
// when the kind has none or a layer could not be made.
IO* BuildChain(SessionConfig& config);

}  // namespace tarnwick
