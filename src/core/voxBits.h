#pragma once
// Reading a byte buffer bit by bit, most significant bit first, and writing a second
// buffer the same way. h264/h265 units carry emulation-prevention bytes (0x03 after two
// zero bytes): a reader can skip them and a writer can insert them. No allocation, no
// exceptions: the caller owns both buffers. Corrupt input never leads to undefined
// behaviour; it sets the error flag, which callers check.
#include <cstddef>
#include <cstdint>

namespace kavrix {

struct TBitBuffer {
  const uint8_t* in = nullptr;  // reading: next byte to load
  uint8_t* out = nullptr;       // writing: next byte to store
  uint8_t* outStart = nullptr;
  size_t byteCount = 0;  // reading: bytes not loaded yet; writing: bytes stored
  size_t capacity = 0;   // writing: bytes the output may hold
  uint32_t current = 0;  // the byte being taken apart or assembled
  int32_t bitCount = 0;  // reading: unread bits of current; writing: bits filled
  bool emulation = false;
  int32_t zeroRun = 0;
  int64_t bitCounter = 0;  // bits consumed since init or the last reset
  bool error = false;      // a code longer than 32 bits, or writing past the capacity
};

// A reader over size bytes; zero bytes at the end of the buffer are not counted.
void InitBitBuffer(TBitBuffer& b, const uint8_t* data, size_t size, bool emulation);
// A writer into a buffer of capacity bytes (escaping can add one byte per two zeros).
void InitBitWriter(TBitBuffer& b, uint8_t* data, size_t capacity, bool emulation);

inline bool BitBufferAtEnd(const TBitBuffer& b) {
  return b.bitCount == 0 && b.byteCount == 0;
}
inline void ResetBitCounter(TBitBuffer& b) {
  b.bitCounter = 0;
}
inline int64_t GetBitCounter(const TBitBuffer& b) {
  return b.bitCounter;
}

// The next n (0..32) bits; 0 when the data runs out (the bits that were there are consumed).
uint32_t ReadBits(TBitBuffer& b, int n);
// Exp-Golomb codes; a prefix of more than 31 zero bits sets the error flag and gives
// 0xFFFFFFFF (ReadSE: 0).
uint32_t ReadUE(TBitBuffer& b);
int32_t ReadSE(TBitBuffer& b);
// The interleaved exp-Golomb code of Dirac headers.
uint32_t ReadInterleavedUE(TBitBuffer& b);

void WriteBits(TBitBuffer& b, int n, uint32_t value);
void WriteUE(TBitBuffer& b, uint32_t value);

uint32_t CopyBits(TBitBuffer& source, TBitBuffer& dest, int n);
uint32_t CopyUE(TBitBuffer& source, TBitBuffer& dest);
int32_t CopySE(TBitBuffer& source, TBitBuffer& dest);
void CopyRemainder(TBitBuffer& source, TBitBuffer& dest);
// Stores the partial byte; the output's length without trailing zero bytes.
size_t FinishWriting(TBitBuffer& b);

}  // namespace kavrix
