// The spelling of everything the engine writes that another program reads back: the type names
// and member keys of divergence report lines, and the comparison modes of result documents.
//
// The engine writes these and the summary reads them; both take the words from here, so that a
// renamed member cannot leave one side behind.
#pragma once

#include <string_view>

namespace tessamer::formats {

// The "type" of a report line.
inline constexpr std::string_view kCell = "CELL";
inline constexpr std::string_view kRowWidth = "ROW_WIDTH";
inline constexpr std::string_view kMissingRow = "MISSING_ROW";
inline constexpr std::string_view kAdditionalRow = "ADDITIONAL_ROW";

// Member keys of report lines. A line's members are written sorted by key, as every compact
// JSON object is.
inline constexpr std::string_view kActual = "actual";
inline constexpr std::string_view kActualColumn = "actualColumn";
inline constexpr std::string_view kActualColumns = "actualColumns";
inline constexpr std::string_view kActualIndex = "actualIndex";
inline constexpr std::string_view kActualRecord = "actualRecord";
inline constexpr std::string_view kActualValues = "actualValues";
inline constexpr std::string_view kColumn = "column";
inline constexpr std::string_view kExpected = "expected";
inline constexpr std::string_view kExpectedColumn = "expectedColumn";
inline constexpr std::string_view kExpectedColumns = "expectedColumns";
inline constexpr std::string_view kExpectedIndex = "expectedIndex";
inline constexpr std::string_view kExpectedRecord = "expectedRecord";
inline constexpr std::string_view kExpectedValues = "expectedValues";
inline constexpr std::string_view kKey = "key";
inline constexpr std::string_view kRecord = "record";
inline constexpr std::string_view kType = "type";

// "comparisonMode" of a result document: the files were streamed record by record, or found
// byte-identical without being parsed.
inline constexpr std::string_view kStreamMode = "quor-csv-stream";
inline constexpr std::string_view kIdenticalMode = "quor-binary";

}  // namespace tessamer::formats
