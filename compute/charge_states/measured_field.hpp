#pragma once

// The one answer to "what field do these measurements give". Every door (the
// charge-state and dataset windows, the command line, Python) and the
// dataset computations come here for:
//  - an element's model for reading fields (field_model): the request, the
//    evaluation and its search tolerance, the threads, and what has been
//    found of the model's curves so far (over-barrier fields, a pair's ratio
//    table), kept from one question to the next;
//  - the answer to one measured ratio or pair of counts (measure_field): the
//    field, every crossing, the counting interval, the inputs' sensitivity;
//  - the answers to many ratios or counts of one pair at once (fields_of_*);
//  - the words of an answer, each number written by the door's formatter.
// A field read from several elements at once is made of several
// field_models, one per element, each with its own request and curves.

#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "compute/charge_states/counting_stats.hpp"
#include "compute/charge_states/ratio_inversion.hpp"
#include "compute/charge_states/ratio_search.hpp"
#include "compute/charge_states/sensitivity.hpp"
#include "compute/curves/evaluation.hpp"

namespace veltrane {

/// One element's model for reading fields from measured charge states.
/// Used by one thread at a time; the calls it makes run on `threads`
/// threads (0: all cores).
class field_model {
 public:
  field_model(calc_request request, charge_state_model evaluation, unsigned threads = 0);
  field_model(const field_model&) = delete;
  field_model& operator=(const field_model&) = delete;

  const calc_request& request() const { return request_; }
  const charge_state_model& evaluation() const { return evaluation_; }
  unsigned threads() const { return threads_; }
  int n() const { return request_.n; }

  /// The model calls from here on report to `progress` and stop at its
  /// cancel, throwing calculation_cancelled (nullptr: neither). What was
  /// found before a cancel is kept.
  void set_progress(evaluation_progress* progress);
  evaluation_progress* progress() const { return progress_; }

  /// The charge states of the request, searched to the evaluation's
  /// tolerance.
  charge_states& states() { return *states_; }

  /// The inversion of pair k's ratio for many ratios at once, to the
  /// evaluation's tolerance; made on first use. Throws input_refused for a
  /// pair that is not one of the request's.
  ratio_inverter& inverter(int k);

 private:
  calc_request request_;
  charge_state_model evaluation_;
  unsigned threads_;
  evaluation_progress* progress_ = nullptr;
  std::unique_ptr<charge_states> states_;
  std::map<int, std::unique_ptr<ratio_inverter>> inverters_;
};

/// What was measured of one pair of neighbouring states k+ and (k+1)+: a
/// ratio N((k+1)+)/N(k+), or (when there is none) the two counts.
struct pair_measurement {
  int k = 1;
  std::optional<double> ratio;
  double count_lower = 0.0, count_upper = 0.0;  ///< N(k+), N((k+1)+)
  double confidence = default_confidence;       ///< of the counts' interval
};

/// Why a measurement cannot be answered by a model of n ionisations: the
/// pair, the ratio, the counts (whole numbers of at least 0, not both 0) or
/// the confidence; empty when it can. `typed_*` name the ratio and the
/// counts as the user wrote them, for the message.
std::string measurement_fault(const pair_measurement& m, int n, const std::string& typed_ratio,
                              const std::string& typed_lower, const std::string& typed_upper);

/// The field a measurement gives.
struct measured_field {
  pair_measurement measured;
  /// The ratio's fields (of the ratio of the counts when counted): the
  /// answer, every crossing, the range searched.
  ratio_fields fields;
  /// With counts: the ratios of the interval and their fields.
  std::optional<counted_field> counted;
  /// With the sensitivity asked for: how far the answer moves with each
  /// input of the model.
  std::vector<input_shift> shifts;
  /// E_ob,k (V/nm), from which k+ is ionised further with certainty and the
  /// pair's ratio is infinite; +inf when the model has none.
  double over_barrier_v_per_nm = std::numeric_limits<double>::infinity();

  /// The answer, V/nm: the lowest field where r_k rises through the ratio;
  /// nothing when the model does not reach it.
  std::optional<double> field() const { return fields.field(); }
  /// The ratio asked for, or N((k+1)+)/N(k+) (infinite without k+ ions).
  double ratio() const { return fields.ratio; }
  /// The ends of the counting interval, V/nm: -inf for an end whose ratio
  /// lies below every ratio of the model, NaN without counts.
  double low() const;
  double high() const;
};

/// Reads the field of a measurement off the model: with a ratio its
/// crossings, with counts also the Wilson interval's, and with `sensitivity`
/// the shifts of the answer when the work function moves by 0.1 eV and each
/// ionisation energy of the pair by 1 %. The measurement must be one
/// measurement_fault accepts. Throws input_refused for a search over too
/// many fields, calculation_cancelled, calculation_error.
measured_field measure_field(field_model& model, const pair_measurement& m,
                             bool sensitivity = false);

/// The fields of many ratios of pair k at once (V/nm; NaN where no field has
/// the ratio), by the pair's inverter.
std::vector<double> fields_of_ratios(field_model& model, int k, const std::vector<double>& ratios);

/// The fields of many pairs of counts of pair k at once, taken as they are
/// (no isotope factor, no background), each with its interval at
/// `confidence`.
std::vector<pair_field> fields_of_counts(field_model& model, int k,
                                         const std::vector<double>& lower,
                                         const std::vector<double>& upper, double confidence);

/// An interval's end: its field, or "below every field of the model" (-inf),
/// "above every field of the model" (inf), "no lower end" / "no upper end"
/// (NaN).
std::string interval_end_text(double E, bool low, const answer_numbers& numbers);

/// The crossings of a ratio: "34.1 (rising), 36.2 (falling), 37 (rising)".
std::string crossings_text(const ratio_fields& fields, const answer_numbers& numbers);

/// A table's note on a ratio that is not monotonic: "(ratio not monotonic;
/// crossings at 34.1 (rising), 36.2 (falling), 37 (rising))".
std::string crossings_note(const ratio_fields& fields, const answer_numbers& numbers);

/// The words of a measured field.
///   question  "3+/2+ = 0.5 (counts 500 and 1000): " or "3+/2+ = 0.8: "
///   answer    "E = 34.3576 V/nm (95 %: 34.2134 to 34.5009 V/nm)"
///   details   "The ratio is not monotonic in this range; it crosses 0.5 at
///             ... V/nm.", then each input's shift and what the shifts are not
///   warning   field_warning() of the answer: a field no specimen carries,
///             or one at the over-barrier edge; empty when there is no doubt
/// A field the model does not reach is said by ratio_fields::unreachable_message.
struct answer_words {
  std::string question, answer;
  std::vector<std::string> details;
  std::string warning;
};

/// Said where both a ratio and counts are given and the ratio is taken.
inline constexpr const char* ratio_before_counts =
    "Both a ratio and counts are typed: the ratio is used (clear it to use the counts).";
answer_words measured_field_words(const measured_field& m, const answer_numbers& numbers);

}  // namespace veltrane
