#include "core/voxBits.h"

#include <cstring>

namespace kavrix {

namespace {

constexpr int kMaxPrefix = 31;

int32_t SignedFromCode(uint32_t k) {
  if (k == 0) return 0;
  if (k & 1) return int32_t((uint64_t(k) + 1) / 2);
  return -int32_t(k / 2);
}

void StoreByte(TBitBuffer& b, uint8_t byte) {
  if (b.emulation) {
    if (b.zeroRun == 2 && byte <= 3) {
      if (b.byteCount >= b.capacity) {
        b.error = true;
        return;
      }
      *b.out++ = 0x03;
      ++b.byteCount;
      b.zeroRun = 0;
    }
    b.zeroRun = byte == 0 ? b.zeroRun + 1 : 0;
  }
  if (b.byteCount >= b.capacity) {
    b.error = true;
    return;
  }
  *b.out++ = byte;
  ++b.byteCount;
}

}  // namespace

void InitBitBuffer(TBitBuffer& b, const uint8_t* data, size_t size, bool emulation) {
  b = TBitBuffer{};
  while (size > 0 && data[size - 1] == 0) --size;
  b.in = data;
  b.byteCount = size;
  b.emulation = emulation;
}

void InitBitWriter(TBitBuffer& b, uint8_t* data, size_t capacity, bool emulation) {
  b = TBitBuffer{};
  b.out = b.outStart = data;
  b.capacity = capacity;
  b.emulation = emulation;
}

uint32_t ReadBits(TBitBuffer& b, int n) {
  if (n <= 0) return 0;
  if (n > 32) {
    b.error = true;
    return 0;
  }
  b.bitCounter += n;
  uint64_t result = 0;
  while (n > 0 && (b.bitCount > 0 || b.byteCount > 0)) {
    if (b.bitCount == 0) {
      const uint8_t byte = *b.in++;
      --b.byteCount;
      if (b.emulation) {
        if (byte == 0x03 && b.zeroRun >= 2) {
          b.zeroRun = 0;
          continue;
        }
        b.zeroRun = byte == 0 ? b.zeroRun + 1 : 0;
      }
      b.current = byte;
      b.bitCount = 8;
    }
    const int k = n < b.bitCount ? n : b.bitCount;
    result = (result << k) | ((b.current & 0xFF) >> (8 - k));
    b.current = (b.current << k) & 0xFF;
    b.bitCount -= k;
    n -= k;
  }
  b.bitCounter -= n;
  return n > 0 ? 0 : uint32_t(result);
}

uint32_t ReadUE(TBitBuffer& b) {
  int zeros = 0;
  while (!BitBufferAtEnd(b) && ReadBits(b, 1) == 0) {
    if (++zeros > kMaxPrefix) {
      b.error = true;
      return 0xFFFFFFFF;
    }
  }
  return uint32_t(ReadBits(b, zeros) + ((uint64_t(1) << zeros) - 1));
}

int32_t ReadSE(TBitBuffer& b) {
  const uint32_t k = ReadUE(b);
  return b.error ? 0 : SignedFromCode(k);
}

uint32_t ReadInterleavedUE(TBitBuffer& b) {
  uint64_t value = 1;
  int steps = 0;
  while (!BitBufferAtEnd(b) && ReadBits(b, 1) == 0) {
    if (++steps > 32) {
      b.error = true;
      return 0xFFFFFFFF;
    }
    value = value * 2 + ReadBits(b, 1);
  }
  return uint32_t(value - 1);
}

void WriteBits(TBitBuffer& b, int n, uint32_t value) {
  if (n <= 0) return;
  if (n > 32) {
    b.error = true;
    return;
  }
  uint32_t word = value << (32 - n);
  while (n > 0) {
    const int k = (8 - b.bitCount) < n ? 8 - b.bitCount : n;
    b.current |= (word >> (32 - k)) << (8 - b.bitCount - k);
    word = k == 32 ? 0 : word << k;
    b.bitCount += k;
    n -= k;
    if (b.bitCount == 8) {
      StoreByte(b, uint8_t(b.current));
      b.current = 0;
      b.bitCount = 0;
    }
  }
}

void WriteUE(TBitBuffer& b, uint32_t value) {
  const uint64_t v = uint64_t(value) + 1;
  int k = 0;
  while ((v >> k) > 1) ++k;  // k = significant bits - 1
  WriteBits(b, k + 1, 1);
  if (k > 0) WriteBits(b, k, uint32_t(v - (uint64_t(1) << k)));
}

uint32_t CopyBits(TBitBuffer& source, TBitBuffer& dest, int n) {
  const uint32_t value = ReadBits(source, n);
  WriteBits(dest, n, value);
  return value;
}

uint32_t CopyUE(TBitBuffer& source, TBitBuffer& dest) {
  int zeros = 0;
  while (!BitBufferAtEnd(source) && CopyBits(source, dest, 1) == 0) {
    if (++zeros > kMaxPrefix) {
      source.error = true;
      return 0xFFFFFFFF;
    }
  }
  return uint32_t(CopyBits(source, dest, zeros) + ((uint64_t(1) << zeros) - 1));
}

int32_t CopySE(TBitBuffer& source, TBitBuffer& dest) {
  const uint32_t k = CopyUE(source, dest);
  return source.error ? 0 : SignedFromCode(k);
}

void CopyRemainder(TBitBuffer& source, TBitBuffer& dest) {
  if (source.bitCount > 0) CopyBits(source, dest, source.bitCount);
  if (dest.bitCount != 0) {
    while (source.byteCount >= 8) CopyBits(source, dest, 32);
    while (source.byteCount > 0) CopyBits(source, dest, 8);
    return;
  }
  // Bytes next to zeros go one by one, so both sides' escape rules see them.
  while (source.byteCount > 0 && (source.zeroRun > 0 || dest.zeroRun > 0))
    CopyBits(source, dest, 8);
  size_t n = source.byteCount;
  if (n > dest.capacity - dest.byteCount) {
    dest.error = true;
    n = dest.capacity - dest.byteCount;
  }
  std::memcpy(dest.out, source.in, n);
  dest.out += n;
  dest.byteCount += n;
  source.in += source.byteCount;
  source.bitCounter += int64_t(source.byteCount) * 8;
  source.byteCount = 0;
}

size_t FinishWriting(TBitBuffer& b) {
  if (b.bitCount > 0) {
    if (b.byteCount < b.capacity) {
      *b.out++ = uint8_t(b.current);
      ++b.byteCount;
    } else {
      b.error = true;
    }
    b.current = 0;
    b.bitCount = 0;
  }
  while (b.byteCount > 0 && b.outStart[b.byteCount - 1] == 0) --b.byteCount;
  return b.byteCount;
}

}  // namespace kavrix
