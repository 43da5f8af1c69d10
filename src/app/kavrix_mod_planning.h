#pragma once
// The audio planning: for one audio destination, the conversion check, the input planning
// (reader, bitstream editors, compressed-audio delay and gap nodes, the decoder and its channel
// order corrections), the source-side analysis, and the output planning (PCM processing in a
// fixed order, then the writer or encoder and the destination file). The planners only create
// nodes (through the run state's factory), link them and keep the track's audio details up to
// date after every step; no data moves.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/kavrix_mod_options.h"
#include "app/kavrix_mod_runstate.h"
#include "core/voxUpStream.h"

namespace kavrix {

// ---- extension and format sets (ASCII case-insensitive, the file name's extension only) ----

bool IsAc3Destination(std::string_view fileName);     // ".ac3"
bool IsEac3Destination(std::string_view fileName);    // ".ddp", ".eac3", ".dd+", ".ec3"
bool IsDtsDestination(std::string_view fileName);     // ".dts", ".dtshd", ".dtsma", ".dtshr"
bool IsAacDestination(std::string_view fileName);     // ".aac", ".mp4", ".m4a"
bool IsTrueHdDestination(std::string_view fileName);  // ".thd", ".truehd", ".mlp"
bool IsLossyEncoderDestination(
    std::string_view fileName);                         // ".ac3", ".dts", ".aac", ".mp4", ".m4a"
bool IsWaveLikeDestination(std::string_view fileName);  // ".wav", ".w64", ".rf64", ".wavs"
bool IsLosslessSourceFormat(std::string_view formatId);

// ---- conversion check and input planning ----

// Resolves "x.*", accepts or refuses the track's format for the destination's extension and
// splits an accepted ".thd+ac3" destination when its AC3 half must be encoded (appending the
// companion action; only once, never on a later pass). Refusals print "This audio conversion
// is not supported." on the console. sourceFiles: the number of joined source files.
bool CheckAudioConversion(TRunState& state, std::vector<TAction>& actions, size_t index,
                          const IAudioFormatDetails& details, size_t sourceFiles);

// Tests the decoder options against a decoder format ("ac3", "eac3", "aac", "dts", "thd",
// "mp1".."mp3", "dtslbr", "dtsnc"); messages go through `node`.
bool CheckDecoderChoice(TRunState& state, std::string_view formatId, const TAction& action,
                        IUpStream& node);

struct TInputPlanResult {
  bool analyzeOutput = false;  // the output side gets a bit-depth analyser when modified
  UpStreamPtr flacDecoder;     // the FLAC decoder, whose metadata a FLAC encoder may copy
};

// Appends the input half of the chain to `trackNode` (messages go through it). fromContainer:
// the track comes out of a container parser. details: the track's details, updated after every
// step (the caller hands in its own copy).
bool PlanAudioInput(TRunState& state, const UpStreamPtr& trackNode, bool fromContainer,
                    IAudioFormatDetails& details, TAction& action, size_t sourceFiles,
                    TInputPlanResult& result);

// The source-side bit-depth analysis and HDCD detection, added between the input and the
// output planning (once per destination).
void AddSourceAnalysis(TRunState& state, const UpStreamPtr& trackNode,
                       const IAudioFormatDetails& details, TAction& action,
                       const TInputPlanResult& input);

// The back-channel adjustment after decoders that drop the back channels: a 7.1 track
// becomes 5.1 with mask 0x60F; Down6 is cleared.
void AdjustBackChannels(IAudioFormatDetails& details, TAction& action);

// ---- output planning ----

// Appends the PCM processing, the writer or encoder and the destination file (only the
// destination file for a bitstream chain). actions[index] is the destination; the split
// ".thd+ac3" half delivers into its companion's joiner. False after an error (the caller then
// reports "Internal error - unknown audio output format!").
bool PlanAudioOutput(TRunState& state, const UpStreamPtr& trackNode, bool fromContainer,
                     const TOptions& options, IAudioFormatDetails& details,
                     std::vector<TAction>& actions, size_t index, bool analyzeOutput,
                     const UpStreamPtr& flacDecoder);

// The channel order the AC3 encoder takes, as a remap string for the channels and layout
// word; empty when no reordering is needed. The encoder node reads the same table.
std::string Ac3EncoderInputRemap(uint32_t channels, std::string_view channelText);

// The A/52 channel order of a layout as a remap string from speaker-mask order (empty when
// the orders agree), for an encoder that needs its input in A/52 order.
std::string Ac3A52ChannelOrder(uint32_t channels, std::string_view channelText);

}  // namespace kavrix
