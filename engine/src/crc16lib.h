// CRC-16 over the table of the reflected polynomial 0xA001, updated most-significant byte first
// as the split transport's headers require.
#pragma once

unsigned short crc16(unsigned short crc, const void *buf, int len);
unsigned short crc16_byte(unsigned short crc, unsigned char c);
