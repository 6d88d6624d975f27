#pragma once

// The natural isotopes of the elements H to U (NIST masses and abundances),
// from apt/data/isotopes.csv built into the library.

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::apt {

/// One natural isotope.
struct isotope {
  std::string symbol;              ///< the element's symbol, "W"
  int atomic_number = 0;           ///< Z
  int mass_number = 0;             ///< A
  double mass_u = 0.0;             ///< relative atomic mass (u, the same number in Da)
  double abundance_percent = 0.0;  ///< natural abundance (atom %)

  /// "184W".
  std::string label() const;
};

/// The natural isotopes of every element, in order of Z, then of A. The
/// file stores symbols, not names: the element data of compute/ maps a name
/// such as "Tungsten" to its symbol (and Z) when one is needed.
class isotope_table {
 public:
  /// The table built into the library, parsed on first use (thread-safe).
  static const isotope_table& builtin();

  /// Parses the text of an isotopes.csv: '#' comment lines, the header
  /// "symbol,Z,A,mass_u,abundance_percent", one isotope a line, grouped by
  /// element. Throws std::invalid_argument naming the line for anything else
  /// (an unknown column, a number that does not read, a mass that is not
  /// positive, an abundance outside 0–100, an element's isotopes apart).
  static isotope_table parse(std::string_view csv);

  /// The isotopes of the element `symbol` in order of A; empty for a symbol
  /// the table does not hold. The symbol is matched without regard to case
  /// ("FE" is Fe), since range files are typed by hand.
  std::span<const isotope> of(std::string_view symbol) const;
  /// The isotopes of the element of atomic number `z`; empty when unknown.
  std::span<const isotope> of_atomic_number(int z) const;
  /// True when the table holds the element.
  bool knows(std::string_view symbol) const { return !of(symbol).empty(); }
  /// The symbol as the table writes it ("Fe" for "FE"); empty when unknown.
  std::string_view canonical_symbol(std::string_view symbol) const;

  /// Every isotope, in order of Z, then of A.
  std::span<const isotope> all() const { return isotopes_; }
  /// The symbols of the elements held, in order of Z.
  std::vector<std::string_view> symbols() const;

 private:
  std::vector<isotope> isotopes_;
};

}  // namespace veltrane::apt
