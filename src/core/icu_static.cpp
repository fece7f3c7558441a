// What the static engine links in place of parts of ICU it never runs.
//
// An empty data package instead of ICU's 30 MB data library: the engine asks ICU only for
// character properties (general category, whitespace, grapheme extension), whose tables are
// compiled into ICU's common library itself; nothing reads the data package. An empty table of
// contents keeps ICU's loader valid should anything look.
//
// A dlopen that always fails instead of glibc's (the engine is linked with --wrap=dlopen): ICU's
// plug-in loader refers to it, a static glibc warns about every such link, and the engine loads
// no shared objects.
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

extern "C" void* __wrap_dlopen(const char* /*file*/, int /*mode*/) { return nullptr; }
