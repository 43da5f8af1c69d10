#pragma once
// WAV files: the reader that turns a RIFF/WAVE file into a PCM stream, the two readers that
// unwrap AC3 and DTS bitstreams carried as PCM samples in a WAV file, and the writer that puts
// a WAVE header in front of a PCM stream and completes it at the end.
//
//   - The WAV reader walks the RIFF chunks up to "data", takes the format from "fmt " (plain,
//     IEEE float and WAVE_FORMAT_EXTENSIBLE), then passes the audio bytes on and announces them
//     as "pcm", "float", "dtswav" or "ac3wav" (a DTS sync word or an IEC 61937 preamble in the
//     first four audio bytes). Sources of 2 GiB and more play to the end of the file whatever
//     their 32-bit size field claims, but never into the chunks that follow the audio.
//   - The AC3-in-WAV reader turns IEC 61937 bursts back into plain AC3 frames.
//   - The DTS-in-WAV reader turns DTS carried in 16-bit or 14-bit words into a plain DTS stream.
//   - The WAV writer writes a plain (44 bytes) or extensible (68 bytes) header first and, when
//     the sizes turned out different, writes it again at the start of its destination.
//
// 8-bit samples are unsigned in WAV files and signed in the chain: the reader and the writer
// convert them at the file boundary.
#include <cstdint>
#include <string>

#include "core/voxUpStream.h"

namespace kavrix {

// Role interfaces, recognised with Query<>.
class IWavReader {
 public:
  virtual ~IWavReader() = default;
};
class IWavWriter {
 public:
  virtual ~IWavWriter() = default;
};
class IWavAc3Reader {
 public:
  virtual ~IWavAc3Reader() = default;
};
class IWavDtsReader {
 public:
  virtual ~IWavDtsReader() = default;
};

UpStreamPtr CreateWavReader();
UpStreamPtr CreateWavAc3Reader();
UpStreamPtr CreateWavDtsReader();
// extensible: WAVE_FORMAT_EXTENSIBLE header (else the plain 16-byte format);
// multiMonoMember: one mono file of a ".wavs" set; noHeaderRewrite: the destination cannot go
// back (standard output, a pipe into an encoder).
UpStreamPtr CreateWavWriter(bool extensible, bool multiMonoMember, bool noHeaderRewrite);

// Picks channel `channel` (counting the channels present) out of an interleaved "pcm" or
// "float" stream and passes it on as a mono stream with speaker mask 0x4 (centre): the front
// of each file chain of a ".wavs" set.
UpStreamPtr CreateMonoChannelPicker(uint32_t channel);
// The whole ".wavs" set below one node: per channel n a picker, a WAV writer (plain header,
// ".wavs" member; silenced for n > 0) and a destination file named
// MultiMonoFileName(destination, channelMask, n). The returned head takes the
// interleaved stream.
UpStreamPtr CreateMultiMonoWavSet(const std::string& destination, uint32_t channels,
                                  uint32_t channelMask);

// Little-endian RIFF helpers shared with the other RIFF-like containers.
namespace riff {
inline uint16_t Le16(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
// The 16 bytes of a sub-format GUID as stored, in registry form
// "{00000001-0000-0010-8000-00AA00389B71}".
std::string GuidText(const uint8_t* guid);
// The KSDATAFORMAT sub-format GUIDs of integer PCM and IEEE float samples.
extern const uint8_t kPcmGuid[16];
extern const uint8_t kFloatGuid[16];
}  // namespace riff

}  // namespace kavrix
