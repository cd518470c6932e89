#pragma once
// Sums and CRCs over byte data. Every function takes a starting value, so a checksum can be
// continued over several blocks; the starting value decides which published variant comes out.

#include <cstdint>
#include <vector>

using ByteVector = std::vector<uint8_t>;

uint8_t calcSum8(const ByteVector& data, uint8_t init);
uint8_t calcOnesComplementSum8(const ByteVector& data, uint8_t init);
uint8_t calcTwosComplementSum8(const ByteVector& data, uint8_t init);
uint8_t calcCrc8(const ByteVector& data, uint8_t init);

uint16_t calcSum16(const ByteVector& data, uint16_t init);
uint16_t calcOnesComplementSum16(const ByteVector& data, uint16_t init);
uint16_t calcTwosComplementSum16(const ByteVector& data, uint16_t init);
uint16_t calcCrc16(const ByteVector& data, uint16_t init);
uint16_t calcCrc16Ccitt(const ByteVector& data, uint16_t init);

uint32_t calcSum32(const ByteVector& data, uint32_t init);
uint32_t calcCrc32Msb(const ByteVector& data, uint32_t init);
uint32_t calcCrc32(const ByteVector& data, uint32_t init);

uint8_t crc8Reflected(ByteVector::const_iterator first, ByteVector::const_iterator last, uint8_t init);
uint8_t invertedSum8(ByteVector::const_iterator first, ByteVector::const_iterator last, uint8_t init);
