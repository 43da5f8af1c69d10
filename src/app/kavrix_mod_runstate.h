#pragma once
// The state of one program run that the planning and the passes share: whether a second
// pass may still follow, the decoder component tests and their use counts, and the node
// factory. One object is handed to the planners, so tests stay independent of each other.
#include <cstdint>
#include <functional>

#include "app/kavrix_mod_factory.h"

namespace kavrix {

// The component tests of the vendor decoders. None of these components exists on Linux, so
// the default probes report them as not working.
struct TComponentProbes {
  std::function<bool()> nero = [] { return false; };
  std::function<bool()> sonic = [] { return false; };
  std::function<bool()> arcSoft = [] { return false; };
};

struct TRunState {
  bool FirstPass = true;          // the current run may still be followed by a second pass
  bool SecondPassNeeded = false;  // another pass must run
  int32_t RerunTrack = -1;        // video track to redo with the pulldown kept; -1 = none

  // Component test results: -1 not tested yet, 1 works, anything else does not.
  int32_t NeroWorks = -1;
  int32_t SonicWorks = -1;
  int32_t ArcSoftWorks = -1;
  // Destinations of this run that decode with the Nero / ArcSoft decoder.
  uint32_t NeroUses = 0;
  uint32_t ArcSoftUses = 0;

  TComponentProbes probes;
  TNodeFactory* factory = &ProductionNodeFactory();

  TNodeFactory& Factory() { return *factory; }
};

}  // namespace kavrix
