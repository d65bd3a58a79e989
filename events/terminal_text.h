// The front ends' way to the engine's terminal text (records/terminal_text.h):
// a module's text on its way to a terminal or the journal.
#pragma once

#include "records/terminal_text.h"

namespace vekevents {

using vek::ControlsAsBlanks;
using vek::ControlsEscaped;
using vek::PieceAt;

}  // namespace vekevents
