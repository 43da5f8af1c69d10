#pragma once
// The channel order corrections that follow the vendor decoders: the Nero decoder's output
// order for AC3 and E-AC3, the Sonic DTS decoder's order after a rewritten channel layout,
// and the ArcSoft DTS decoder's fixed output slots. The planners read these tables; they are
// kept apart so that they can be checked as data.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kavrix {

// A pick map: output channel j takes input channel map[j]; optional per-channel gains in
// 1/256 units (empty when the levels stay as they are).
struct TChannelPick {
  std::vector<uint32_t> map;
  std::vector<uint32_t> gains;
  bool Empty() const { return map.empty(); }
};

// The remap string that brings the Nero decoder's AC3/E-AC3 output into mask order; empty
// when its order is right already.
std::string NeroOutputRemap(uint32_t channels, std::string_view channelText);

// The Sonic DTS decoder's pick map for the four layouts that are rewritten before it
// ("2/1", "2/1.1", "3/1", "3/1.1"); empty for any other layout.
TChannelPick SonicPickMap(std::string_view channelText);

// True for the four layouts the DTS channel map modder rewrites.
bool IsRewrittenDtsLayout(std::string_view channelText);

// The ArcSoft DTS decoder's pick for the decoded layout. rewrittenLayout: the track's layout
// was rewritten by the DTS channel map modder before decoding (plain DTS tracks).
TChannelPick ArcSoftPick(uint32_t channels, std::string_view channelText, bool rewrittenLayout);

}  // namespace kavrix
