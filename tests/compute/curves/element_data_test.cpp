#include "compute/curves/element_data.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "apt/isotopes.hpp"
#include "compute/curves/elements.hpp"
#include "compute/curves/sweep.hpp"

using namespace veltrane;

namespace {

std::string read_data_file() {
  std::ifstream in(VELTRANE_ELEMENT_DATA, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TEST(ElementData, IsTheDataFileAsBuiltIn) {
  // The build embeds the repository's data file; parsing the file as it lies
  // on disk must give the very same table.
  const std::string text = read_data_file();
  ASSERT_FALSE(text.empty());
  const auto from_file = parse_element_data(text);
  const auto& built_in = element_data_table();
  ASSERT_EQ(from_file.size(), built_in.size());
  for (std::size_t i = 0; i < built_in.size(); ++i) {
    EXPECT_EQ(from_file[i].name, built_in[i].name);
    EXPECT_EQ(from_file[i].work_function.text, built_in[i].work_function.text);
    for (std::size_t k = 0; k < 5; ++k) {
      EXPECT_EQ(from_file[i].energies[k].text, built_in[i].energies[k].text);
    }
  }
}

TEST(ElementData, RowsAsWrittenInTheFile) {
  // Tungsten's row of the data file: 4.55; 7.86403, 16.37, 26.0, 38.2, 51.6,
  // I2 to I5 marked semi-empirical by NIST.
  const element_data* w = find_element_data("Tungsten");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->symbol, "W");
  EXPECT_EQ(w->atomic_number, 74);
  EXPECT_EQ(w->work_function.value, 4.55);
  const double expected[] = {7.86403, 16.37, 26.0, 38.2, 51.6};
  const char* texts[] = {"7.86403", "16.37", "26.0", "38.2", "51.6"};
  for (std::size_t k = 0; k < 5; ++k) {
    EXPECT_EQ(w->energies[k].value, expected[k]);
    EXPECT_EQ(w->energies[k].text, texts[k]) << "the text exactly as written";
  }
  EXPECT_EQ(w->energies[0].flag, nist_flag::measured);
  EXPECT_EQ(w->energies[1].flag, nist_flag::semi_empirical);
  EXPECT_EQ(w->energies[4].flag, nist_flag::semi_empirical);
  EXPECT_NE(w->work_function_source.find("Michaelson"), std::string::npos);
  EXPECT_EQ(w->ionisation_source.find("semi-empirical"), std::string::npos)
      << "the flags are taken out of the reference";

  // Beryllium has four electrons: no I5, and its I3, I4 are theoretical.
  const element_data* be = find_element_data("Beryllium");
  ASSERT_NE(be, nullptr);
  EXPECT_EQ(be->energies[3].value, 217.71858459);
  EXPECT_FALSE(be->energies[4].value);
  EXPECT_TRUE(be->energies[4].text.empty());
  EXPECT_EQ(be->energies[2].flag, nist_flag::theoretical);
  EXPECT_NE(source_note(*be, 5).find("does not exist"), std::string::npos);
  EXPECT_EQ(source_note(*be, 3).find("does not exist"), std::string::npos);

  // Hafnium's work function is written "3.90" and keeps that text.
  EXPECT_EQ(find_element_data("Hafnium")->work_function.text, "3.90");
  EXPECT_NE(find_element_data("Calicum"), nullptr);
  EXPECT_NE(find_element_data("Titan"), nullptr);
  EXPECT_EQ(find_element_data("Calcium"), nullptr);
}

TEST(ElementData, NotesNameSourceAndFlag) {
  const element_data* w = find_element_data("Tungsten");
  const std::string i3 = source_note(*w, 3);
  EXPECT_EQ(i3.rfind("3rd ionisation energy of Tungsten: NIST ASD", 0), 0u) << i3;
  EXPECT_NE(i3.find("NIST marks it semi-empirical"), std::string::npos) << i3;
  EXPECT_EQ(source_note(*w, 1).find("NIST marks it"), std::string::npos);
  EXPECT_EQ(source_note(*w, 0).rfind("Work function of Tungsten: H. B. Michaelson", 0), 0u);
}

TEST(ElementData, DefectsOfTheFileAreNamed) {
  const std::string header = "name,symbol,Z,wf,I1,I2,I3,I4,I5,wfs,is,period,mass,ms\n";
  auto error_of = [&](const std::string& line) {
    try {
      parse_element_data(header + line);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_NE(error_of("X,X,1,4.5,1,2,3,4,5,a,b,1\n").find("line 2"), std::string::npos);
  EXPECT_NE(error_of("X,X,1,4.5,1,2,x,4,5,a,b,1,2,c\n").find("\"x\""), std::string::npos);
  EXPECT_NE(error_of("X,X,1,4.5,1,2,3,4,5,\"a,b\n").find("quote"), std::string::npos);
  EXPECT_NE(error_of("X,X,1,4.5,1,2,3,4,5,a,b,1,,c\n").find("no atomic mass"), std::string::npos);
  const auto quoted =
      parse_element_data(header + "X,X,1,4.5,1,2,3,4,,\"a, \"\"b\"\"\",c,1,1.008,d\n");
  ASSERT_EQ(quoted.size(), 1u);
  EXPECT_EQ(quoted[0].work_function_source, "a, \"b\"");
  EXPECT_FALSE(quoted[0].energies[4].value);
  EXPECT_EQ(quoted[0].period, 1);
  EXPECT_EQ(quoted[0].atomic_mass, 1.008);
}

TEST(ElementData, LargestNIsWhatTheEnergiesAllow) {
  // Beryllium has four electrons: I5 does not exist, so n stops at 3.
  EXPECT_EQ(largest_n(*find_element_data("Beryllium")), 3);
  EXPECT_EQ(largest_n(*find_element_data("Tungsten")), 4);
  element_data none;
  EXPECT_EQ(largest_n(none), 0);
  none.energies[1].value = 10.0;
  none.energies[2].value = 20.0;
  EXPECT_EQ(largest_n(none), 2);
}

// Every door names an element through one resolver: its symbol, its English
// name (with the other spellings), or its text in the window's list, each in
// any case.
TEST(ElementNames, OneResolverForSymbolsNamesAndTheListsTexts) {
  struct named_case {
    const char* text;
    const char* symbol;
    const char* list_name;  // nullptr: not one of the model's 44
  };
  const named_case cases[] = {
      {"W", "W", "Tungsten"},        {"w", "W", "Tungsten"},
      {"TUNGSTEN", "W", "Tungsten"}, {"Titan", "Ti", "Titan"},
      {"Titanium", "Ti", "Titan"},   {"calicum", "Ca", "Calicum"},
      {"Calcium", "Ca", "Calicum"},  {"Caesium", "Cs", "Caesium"},
      {"Cesium", "Cs", "Caesium"},   {"Aluminum", "Al", "Aluminium"},
      {"Oxygen", "O", nullptr},      {"o", "O", nullptr},
      {"Sulphur", "S", nullptr},     {"Technetium", "Tc", nullptr},
      {"In", "In", "Indium"},        {"tin", "Sn", "Tin"},
  };
  for (const auto& c : cases) {
    const auto e = find_named_element(c.text);
    ASSERT_TRUE(e) << c.text;
    EXPECT_EQ(e->symbol, c.symbol) << c.text;
    EXPECT_EQ(element_symbol(c.text), c.symbol) << c.text;
    if (c.list_name == nullptr) {
      EXPECT_EQ(e->data, nullptr) << c.text;
      EXPECT_EQ(element_list_name(c.text), c.text);  // left for the request's own message
    } else {
      ASSERT_NE(e->data, nullptr) << c.text;
      EXPECT_EQ(e->data->name, c.list_name);
      EXPECT_EQ(element_list_name(c.text), c.list_name);
    }
  }
  for (const char* text : {"", "Wolfram", " W", "Tungsten ", "Fe2", "X"}) {
    EXPECT_FALSE(find_named_element(text)) << text;
  }
  try {
    element_symbol("Wolfram");
    ADD_FAILURE() << "Wolfram was taken";
  } catch (const input_refused& e) {
    EXPECT_EQ(std::string(e.what()).rfind("unknown element \"Wolfram\"; did you mean ", 0), 0u)
        << e.what();
  }
  EXPECT_EQ(not_in_model_message(*find_named_element("oxygen")),
            "Oxygen (O) is not one of the 44 elements of the model's table");
}

TEST(ElementNames, CoverEveryElementOfTheIsotopeTableAndTheModels) {
  const auto& names = element_names();
  ASSERT_EQ(names.size(), 92u);
  for (std::size_t z = 0; z < names.size(); ++z) {
    EXPECT_EQ(names[z].atomic_number, static_cast<int>(z) + 1);
  }
  for (const auto symbol : apt::isotope_table::builtin().symbols()) {
    const auto e = find_named_element(symbol);
    ASSERT_TRUE(e) << symbol;
    EXPECT_EQ(e->symbol, symbol);
  }
  // The model's 44 by their own symbols and atomic numbers.
  for (const auto& d : element_data_table()) {
    const auto e = find_named_element(d.symbol);
    ASSERT_TRUE(e) << d.symbol;
    EXPECT_EQ(e->data, &d);
    EXPECT_EQ(names[static_cast<std::size_t>(d.atomic_number) - 1].symbol, d.symbol);
  }
}

TEST(ElementNames, ParsingRefusesABrokenTable) {
  const std::string header = "# comment\nsymbol,Z,name,other_names,source\n";
  const auto parsed = parse_element_names(header + "H,1,Hydrogen,,s\nHe,2,Helium,A;B,s\n");
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed[1].other_names, (std::vector<std::string>{"A", "B"}));
  const auto error_of = [](const std::string& text) {
    try {
      parse_element_names(text);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_NE(error_of("symbol,Z,name\n").find("line 1: not the header"), std::string::npos);
  EXPECT_NE(error_of(header + "H,1,Hydrogen\n").find("line 3: expected 5 fields"),
            std::string::npos);
  EXPECT_NE(error_of(header + "He,2,Helium,,s\n").find("next atomic number"), std::string::npos);
  EXPECT_NE(error_of(header + "H,x,Hydrogen,,s\n").find("line 3"), std::string::npos);
}
