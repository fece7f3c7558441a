// A comparison from start to finish: the identical-files check, the streams, the report, the
// pairing, and the checks and digests at the end.
#include "compare/compare.h"

#include <utility>
#include <variant>

#include "compare/lines.h"
#include "compare/pairing.h"
#include "compare/report.h"
#include "input/input.h"

namespace tessamer {

ComparisonSettings comparison_settings(const ValidationRequest& request, std::optional<FileIdentity> request_file,
                                       std::span<const FileIdentity> document_channels) {
  ComparisonSettings settings;
  settings.has_header = request.has_header;
  settings.identical_files_pass = request.columns.empty() && request.excluded_columns.empty() && request.has_header;
  settings.divergence_path = request.divergence_path;
  settings.example_limit = request.example_limit;
  settings.request_file = request_file;
  settings.document_channels.assign(document_channels.begin(), document_channels.end());
  if (is_keyed(request)) {
    settings.key_order = effective_key_order(request);
    settings.duplicate_keys = effective_duplicate_keys(request);
    settings.sort_memory_bytes = effective_sort_memory_bytes(request);
    if (request.sort_directory) settings.sort_directory = *request.sort_directory;
  }
  return settings;
}

Result<ComparisonOutcome> compare_datasets(const ComparisonInput& input) {
  const ComparisonSettings& settings = input.settings;
  // Identical bytes settle it without parsing. Otherwise the comparison carries on from the
  // digest of the bytes found equal.
  DigestedPrefix equal_prefix;
  if (settings.identical_files_pass) {
    TESSAMER_ASSIGN_OR_RETURN(IdenticalOutcome identical, compare_identical(input.expected, input.actual));
    if (const auto* same = std::get_if<IdenticalFiles>(&identical)) {
      ComparisonOutcome outcome;
      outcome.mode = ComparisonMode::identical;
      outcome.totals.expected_bytes = same->size;
      outcome.totals.actual_bytes = same->size;
      outcome.totals.expected_sha256 = same->expected_sha256;
      outcome.totals.actual_sha256 = same->actual_sha256;
      return outcome;
    }
    equal_prefix = std::move(std::get<DifferentFiles>(identical).prefix);
  }

  PairedDigests digests(equal_prefix);
  TESSAMER_ASSIGN_OR_RETURN(DatasetStream expected, DatasetStream::open(input.expected, input.dialect, &digests));
  TESSAMER_ASSIGN_OR_RETURN(DatasetStream actual, DatasetStream::open(input.actual, input.dialect, &digests));
  if (settings.has_header) {
    TESSAMER_TRY(expected.read_header());
    TESSAMER_TRY(actual.read_header());
  }
  const FileIdentity datasets[] = {*input.expected.identity(), *input.actual.identity()};
  TESSAMER_ASSIGN_OR_RETURN(
      DivergenceReportWriter report,
      open_divergence_report(settings.divergence_path, settings.example_limit, datasets, settings.request_file,
                             settings.document_channels));
  LineWriter lines(input.dialect.encoding, input.expected_names.size(), input.actual_names.size(), input.plan, report);
  PairComparer pairs(input.expected_names.size(), input.actual_names.size(), input.plan, lines);

  const Pairing pairing{input, expected, actual, pairs, lines};
  std::optional<KeyedTotals> keyed;
  ComparisonTotals totals;
  // What each stream read: a keyed run in any order hands it on from its first pass, its streams
  // gone by then; otherwise the streams are finished here.
  std::optional<std::pair<StreamedBytes, StreamedBytes>> read;
  if (input.plan.keys.empty()) {
    TESSAMER_ASSIGN_OR_RETURN(totals, pair_by_position(pairing));
  } else {
    TESSAMER_ASSIGN_OR_RETURN(KeyedOutcome by_key, pair_by_key(pairing, report));
    totals = by_key.totals;
    keyed = by_key.keyed;
    read = std::move(by_key.first_pass);
  }

  if (!read) {
    TESSAMER_ASSIGN_OR_RETURN(StreamedBytes expected_done, expected.finish());
    TESSAMER_ASSIGN_OR_RETURN(StreamedBytes actual_done, actual.finish());
    read = {std::move(expected_done), std::move(actual_done)};
  }
  auto& [expected_read, actual_read] = *read;
  TESSAMER_ASSIGN_OR_RETURN(DivergenceSummary summary, finish_divergence_report(std::move(report)));
  totals.expected_bytes = expected_read.bytes;
  totals.expected_sha256 = std::move(expected_read.sha256);
  totals.actual_bytes = actual_read.bytes;
  totals.actual_sha256 = std::move(actual_read.sha256);
  return ComparisonOutcome{ComparisonMode::streamed, std::move(totals), keyed, summary.count,
                           std::move(summary.examples)};
}

}  // namespace tessamer
