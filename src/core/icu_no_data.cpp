// An empty data package for ICU, linked into the static engine in place of ICU's 30 MB data
// library. The engine asks ICU only for character properties (general category, whitespace,
// grapheme extension), whose tables are compiled into ICU's common library itself; nothing reads
// the data package. An empty table of contents keeps ICU's loader valid should anything look.
#include <unicode/udata.h>
#include <unicode/utypes.h>

#include <cstdint>

namespace {

struct EmptyDataPackage {
  std::uint16_t header_size;
  std::uint8_t magic1;
  std::uint8_t magic2;
  UDataInfo info;
  char padding[8];
  std::uint32_t count;
  std::uint32_t reserved;
  int entries[4];
};

}  // namespace

extern "C" U_EXPORT const EmptyDataPackage U_ICUDATA_ENTRY_POINT = {
    32,    // header size
    0xda,  // the two magic bytes of an ICU data header
    0x27,
    {
        sizeof(UDataInfo),
        0,
        U_IS_BIG_ENDIAN,
        U_CHARSET_FAMILY,
        sizeof(UChar),
        0,
        {0x54, 0x6f, 0x43, 0x50},  // "ToCP": a table of contents
        {1, 0, 0, 0},              // its format version
        {0, 0, 0, 0},              // data version
    },
    {},
    0,  // no entries
    0,
    {},
};
