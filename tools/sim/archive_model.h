#pragma once

// The simulated instrument's memory: a 2000-slot archive ring of 32-byte
// records and the table of the six empty cells, generated from an archive
// number or loaded from a file, plus the replies the instrument gives to
// each request. Tests and end-to-end checks link this library to know what a
// download of the simulator must yield.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velorix::sim {

inline constexpr int RING_SLOTS = 2000;
inline constexpr int RECORD_BYTES = 32;
inline constexpr int TABLE_BYTES = 48;  // 6 co floats, then 6 tgDo floats
inline constexpr std::size_t ARCHIVE_FILE_BYTES =
    static_cast<std::size_t>(RING_SLOTS) * RECORD_BYTES + TABLE_BYTES;  // 64048

inline constexpr std::uint32_t DEFAULT_ARCHIVE_NUMBER = 1;
inline constexpr int DEFAULT_POINTER = 5;

// Byte 3 of two replies carries no meaning for the PC; the simulator fills it
// with these values so a reader that takes it for data is caught.
inline constexpr std::uint8_t RECORD_REPLY_BYTE3 = 0x20;
inline constexpr std::uint8_t TABLE_REPLY_BYTE3 = 0x30;

inline constexpr int POINTER_REPLY_BYTES = 7;
inline constexpr int TABLE_REPLY_BYTES = 54;
inline constexpr int RECORD_REPLY_BYTES = 38;

using RecordImage = std::array<std::uint8_t, RECORD_BYTES>;

struct SimArchive {
  std::array<RecordImage, RING_SLOTS> records{};  // ring index order
  std::array<float, 6> co{};                      // farads
  std::array<float, 6> tgDo{};
};

// The same number always gives the same archive, on every platform. Whatever
// the number, the ring indices 1995..1999 and 0..4 (the default download of 100
// records with pointer 5 ends there) hold a fixed mix of the awkward cases:
// other kinds, no-sensor temperatures, sample number 65535. The test clock
// runs forward in ring order from index DEFAULT_POINTER (the oldest record)
// round to the one before it (the newest), as the instrument writes its ring;
// tgD follows each cell's trend over that time, with some scatter.
SimArchive GenerateArchive(std::uint32_t number);

// The archive of an instrument that has made `tests` tests since its archive
// was cleared: test t went to slot t mod 2000, so the ring holds the last
// 2000, and slots no test has reached yet are all 0xFF. The same number and
// a larger count keep the records that are still there and add the new ones.
SimArchive GenerateArchiveAfterTests(std::uint32_t number, long tests);

// Record of ring index `index` taken modulo 2000 (negative indices wrap too).
const RecordImage& RecordAt(const SimArchive& archive, int index);

// The 48-byte table as it travels in the reply (frame bytes 4..51).
std::array<std::uint8_t, TABLE_BYTES> TableBytes(const SimArchive& archive);

// File form: the 2000 records in ring order, then TableBytes; 64048 bytes.
std::vector<std::uint8_t> SerializeArchive(const SimArchive& archive);
// False (with a reason) unless `bytes` has exactly ARCHIVE_FILE_BYTES bytes.
bool ParseArchive(const std::vector<std::uint8_t>& bytes, SimArchive& archive,
                  std::string& error);
bool LoadArchiveFile(const std::string& path, SimArchive& archive, std::string& error);
bool SaveArchiveFile(const std::string& path, const SimArchive& archive, std::string& error);

// The instrument's answer to one checked request frame, checksum included.
// Code 11: 01 07 0B Plo Phi cs cs. Code 12: 54 bytes with the table at 4..51.
// Code 10: 38 bytes with the record of the requested index (mod 2000) at
// 4..35; missing index bytes read as zero. Code 255 (the probe, and the end of
// a download): PROBE_FRAME. Any other code, or fewer than 3 bytes: no answer
// (empty vector).
std::vector<std::uint8_t> ReplyTo(const SimArchive& archive, int pointer,
                                  const std::uint8_t* frame, int length);

}  // namespace velorix::sim
