// The channel order tables of the vendor decoders.
#include "app/kavrix_mod_planning_tables.h"

namespace kavrix {

namespace {

struct TRemapRow {
  uint32_t channels;
  std::string_view channelText;
  std::string_view remap;
};

// The Nero decoder puts the centre behind the fronts' partner and the LFE before the
// surrounds for the smaller layouts.
constexpr TRemapRow kNeroRows[] = {
    {3, "3.0", "0,2,1,3,4,5"}, {4, "2/1.1", "0,1,3,2,4,5"}, {4, "3.1", "0,2,1,3,4,5"},
    {4, "3/1", "0,2,1,3,4,5"}, {5, "2/2.1", "0,1,4,2,3,5"}, {5, "3/1.1", "0,2,1,4,3,5"},
};

struct TPickRow {
  uint32_t channels;        // 0 = any count
  std::string_view layout;  // empty = any layout of that count
  std::vector<uint32_t> map;
  std::vector<uint32_t> gains;
  std::vector<uint32_t> rewrittenMap;  // for layouts rewritten before decoding
};

// The ArcSoft decoder always fills fixed slots (L, R, C, LFE, SL, SR, ...); the pick takes
// the slots the layout uses. A single surround decoded into both surround slots comes back
// at -3 dB, which the gain of 362/256 (sqrt 2) restores.
const std::vector<TPickRow>& ArcSoftRows() {
  static const std::vector<TPickRow> rows = {
      {1, "", {2}, {}, {2}},
      {3, "2/1", {0, 1, 4}, {256, 256, 362}, {2, 0, 1}},
      {3, "2.1", {0, 1, 3}, {}, {0, 1, 3}},
      {3, "", {0, 1, 2}, {}, {0, 1, 2}},
      {4, "2/1.1", {0, 1, 3, 4}, {256, 256, 256, 362}, {2, 0, 3, 1}},
      {4, "2/2", {0, 1, 4, 5}, {}, {0, 1, 4, 5}},
      {4, "3/1", {0, 1, 2, 4}, {256, 256, 256, 362}, {1, 4, 0, 5}},
      {4, "", {0, 1, 2, 3}, {}, {0, 1, 2, 3}},
      {5, "2/2.1", {0, 1, 3, 4, 5}, {}, {0, 1, 3, 4, 5}},
      {5, "3/1.1", {0, 1, 2, 3, 4}, {256, 256, 256, 256, 362}, {1, 4, 0, 3, 5}},
      {5, "5.0", {0, 1, 2, 4, 5}, {}, {0, 1, 2, 4, 5}},
      {5, "", {0, 1, 2, 3, 4}, {}, {0, 1, 2, 3, 4}},
      {6, "6.0", {0, 1, 2, 4, 5, 6}, {}, {0, 1, 2, 4, 5, 6}},
  };
  return rows;
}

}  // namespace

std::string NeroOutputRemap(uint32_t channels, std::string_view channelText) {
  for (const TRemapRow& row : kNeroRows)
    if (row.channels == channels && row.channelText == channelText) return std::string(row.remap);
  return {};
}

bool IsRewrittenDtsLayout(std::string_view channelText) {
  return channelText == "2/1" || channelText == "2/1.1" || channelText == "3/1" ||
         channelText == "3/1.1";
}

TChannelPick SonicPickMap(std::string_view channelText) {
  if (channelText == "2/1") return {{2, 0, 1}, {}};
  if (channelText == "2/1.1") return {{2, 0, 3, 1}, {}};
  if (channelText == "3/1") return {{1, 2, 0, 3}, {}};
  if (channelText == "3/1.1") return {{1, 3, 0, 2, 4}, {}};
  return {};
}

TChannelPick ArcSoftPick(uint32_t channels, std::string_view channelText, bool rewrittenLayout) {
  for (const TPickRow& row : ArcSoftRows()) {
    if (row.channels != channels) continue;
    if (!row.layout.empty() && row.layout != channelText) continue;
    if (rewrittenLayout) return {row.rewrittenMap, {}};
    return {row.map, row.gains};
  }
  return {};
}

}  // namespace kavrix
