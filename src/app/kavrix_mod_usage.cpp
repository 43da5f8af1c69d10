// The banner and the usage text.
#include <string>

#include "app/kavrix_mod.h"
#include "core/voxUpStream_console.h"
#include "voxVersion.h"

namespace kavrix {

namespace {

struct TUsageLine {
  int kind;
  const char* text;
};

constexpr int H = kMsgHeading;
constexpr int N = kMsgNormal;

const TUsageLine kUsage[] = {
    {N, ""},
    {N, "- can show information about audio, video, VOB/EVO/(M2)TS and MKV files"},
    {N, "- can decode and encode various audio formats"},
    {N, "- can remove dialog normalization from AC3, E-AC3, DTS and TrueHD tracks"},
    {N, "- can extract AC3 stream from Blu-Ray TrueHD/AC3 tracks"},
    {N, "- can extract TrueHD stream from Blu-Ray TrueHD/AC3 tracks"},
    {N, "- can extract DTS core from DTS-HD tracks"},
    {N, "- can remove DTS zero padding and repair outdated DTS-ES headers"},
    {N, "- can apply positive or negative audio delays"},
    {N, "- can reduce bitdepth of decoded audio data by using TPDF dithering"},
    {N, "- can resample decoded audio data (using the SoX resampler)"},
    {N, "- can apply/reverse PAL speedup on decoded audio data (SoX resampler)"},
    {N, "- can demux video / audio tracks of EVO/VOB/(M2)TS and MKV sources"},
    {N, "- can list available titles of Blu-Ray and HD DVD discs"},
    {N, "- can extract Blu-Ray and HD DVD chapter information and subtitles"},
    {N, "- can mux MPEG2, VC-1 and h264 video tracks to Matroska"},
    {N, "- can remove pulldown flags from MPEG2, VC-1 and h264 video tracks"},
    {N, ""},
    {H, "kavrix sourcefile[+sourcefile2] [trackno:] [destfile|stdout] [-options]"},
    {N, ""},
    {H, "Examples:"},
    {N, "kavrix source.pcm destination.flac"},
    {N, "kavrix source.thd destination.flac destination.ac3"},
    {N, "kavrix source.evo 1: chapters.txt 2: video.mkv 3: audio.flac 5: subtitle.sup"},
    {N, "kavrix feature_1.evo+feature_2.evo movie.mkv"},
    {N, "kavrix blurayMovieFolder movie.mkv"},
    {N, ""},
    {H, "Options:"},
    {N, "-448               use e.g. \"192\", \"448\" or \"640\" kbps for AC3 encoding"},
    {N, "-768               use \"768\" or \"1536\" kbps for DTS encoding"},
    {N, "-core              extract the DTS core of a DTS-HD track"},
    {N, "+/-100ms           apply a positive or negative audio delay"},
    {N, "+/-3dB             apply a positive or negative audio gain (volume change)"},
    {N, "-0,1,2,3,4,5       remap the channels to the specified order"},
    {N, "-edit=0:00:00,0ms  loops or removes audio data at the specified runtime"},
    {N, "-silence/-loop     forces usage of silence (or looping) for audio edits"},
    {N, "-down6             downmix 7 or 8 channels to 6 channels"},
    {N, "-downDpl           downmix multi channel audio to Dolby Pro Logic II"},
    {N, "-downStereo        downmix multi channel audio to simple Stereo"},
    {N, "-phaseShift        shift phase (when doing stereo downmixing, see \"downDpl\")"},
    {N, "-mixlfe            mix LFE in (when doing stereo downmixing, see \"downDpl\")"},
    {N, "-down16            downconvert decoded audio data to 14..23 bit"},
    {N, "-slowdown          convert 25.000 and 24.000 content to 23.976 fps"},
    {N, "-speedup           convert 23.976 and 24.000 content to 25.000 fps"},
    {N, "-23.976/...        define source fps to be \"23.976\", \"24.000\", \"25.000\", ..."},
    {N, "-changeTo24.000    change source fps to \"23.976\", \"24.000\", \"25.000\", ..."},
    {N, "-resampleTo48000   resample audio to \"44100\", \"48000\" or \"96000\" Hz"},
    {N, "-quality=0.50      libav AAC encoding quality (0.00 = lowest; 1.00 = highest)"},
    {N, "-8                 define PCM file to be \"1\"..\"8\" channels"},
    {N, "-16                define PCM file to be \"16\" or \"24\" bit"},
    {N, "-little            define PCM file to be \"little\" or \"big\" endian"},
    {N, "-96000             define PCM file to be 44100, 48000, 96000 or 192000 Hz"},
    {N, "-override          forcefully overrides PCM auto detection with manual values"},
    {N, "-sonic/nero/...    force the use of a specific decoder (not recommended)"},
    {N, "-removeDialnorm    removes dialog normalization by mapping it to -31 dB"},
    {N, "-decodeHdcd        decodes HDCD source track (usually 16 -> 20 bit)"},
    {N, "-demux             demuxes all video tracks and all audio and subtitle tracks"},
    {N, "-stripPulldown     strips the pulldown from MPEG2 video tracks"},
    {N, "-keepPulldown      disable removal of pulldown for MPEG2, h264 and VC-1 tracks"},
    {N, "-seekToIFrames     make all h264/AVC \"I\" frames seekable"},
    {N, "-check             checks if the source EVO/(M2)TS file is clean."},
    {N, "-test              checks if the external filters are installed & working"},
    {N, "-lowPriority       moves processing to background/idle priority"},
    {N, "-shutdown          automatically shutdown the PC after processing is done"},
    {N, ""},
    {H, "Supported source formats:"},
    {N, "(1) RAW, (L)PCM"},
    {N, "(2) WAV (PCM, DTS and AC3), W64, RF64"},
    {N, "(3) AC3, E-AC3"},
    {N, "(4) DTS, DTS-ES, DTS-96/24, DTS-HD Hi-Res, DTS-HD Master Audio"},
    {N, "(5) MP1, MP2, MP3 audio"},
    {N, "(6) AAC audio"},
    {N, "(7) MLP, TrueHD, TrueHD/AC3"},
    {N, "(8) FLAC"},
    {N, "(9) EVO/VOB/(M2)TS and MKV"},
    {N, ""},
    {H, "Decoded audio data can be stored as / encoded to:"},
    {N, "(1) RAW, (L)PCM"},
    {N, "(2) WAV (PCM only), W64, RF64, AGM"},
    {N, "(3) WAVs (multiple mono WAV files, PCM only)"},
    {N, "(4) AC3"},
    {N, "(5) DTS"},
    {N, "(6) AAC"},
    {N, "(7) FLAC"},
    {N, ""},
    {H, "Codec libraries:"},
    {N, "(1) libavcodec/libavformat"},
    {N, "(2) libFLAC"},
    {N, "(3) libsoxr"},
};

}  // namespace

void PrintBannerAndUsage() {
  std::string minor = std::to_string(KAVRIX_VERSION_MINOR);
  if (minor.size() < 2) minor.insert(0, 2 - minor.size(), '0');
  WriteMessage(kMsgHeading, "kavrix_mod v" + std::to_string(KAVRIX_VERSION_MAJOR) + "." + minor);
  for (const TUsageLine& line : kUsage) WriteMessage(line.kind, line.text);
}

}  // namespace kavrix
