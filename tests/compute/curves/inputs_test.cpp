#include "compute/curves/inputs.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace veltrane;

namespace {

request_texts texts(std::string element, std::string n,
                    std::optional<std::string> work_function = std::nullopt,
                    std::optional<std::vector<std::string>> energies = std::nullopt) {
  return {std::move(element), std::move(n), std::move(work_function), std::move(energies)};
}

}  // namespace

TEST(CheckRequest, EachBadInputHasItsMessage) {
  struct bad {
    request_texts input;
    const char* message;
  };
  const bad cases[] = {
      {texts("", "1"), "--element is required (or use --example)"},
      {texts("Tungstn", "1"),
       "unknown element \"Tungstn\"; closest: Tungsten, Titan, Tin (see --list-elements)"},
      {texts("Tungsten", ""), "--ionisations is required"},
      {texts("Tungsten", "5"), "--ionisations must be a whole number from 1 to 4, not \"5\""},
      {texts("Tungsten", "0"), "--ionisations must be a whole number from 1 to 4, not \"0\""},
      {texts("Tungsten", "1.5"), "--ionisations must be a whole number from 1 to 4, not \"1.5\""},
      {texts("Tungsten", "two"), "--ionisations must be a whole number from 1 to 4, not \"two\""},
      {texts("Tungsten", "1", "4,55"), "--work-function is not a number: \"4,55\""},
      {texts("Tungsten", "2", "4.55", std::vector<std::string>{"7", "16"}),
       "--energies needs 3 values for 2 ionisations, got 2"},
      {texts("Tungsten", "1", "4.55", std::vector<std::string>{"7", "x"}),
       "ionisation energy 2 is not a number: \"x\""},
      {texts("Tungsten", "1", "4.55", std::vector<std::string>{"7", "1e400"}),
       "ionisation energy 2 is not a number: \"1e400\""},
      {texts("Beryllium", "4"), "Beryllium has no 5th ionisation energy; give --energies"},
      {texts("Tungsten", "1", std::nullopt, std::vector<std::string>{"7", ""}),
       "ionisation energy 2 is not a number: \"\""},
  };
  for (const auto& c : cases) {
    const auto checked = check_request(c.input);
    EXPECT_FALSE(checked.request) << c.message;
    EXPECT_EQ(checked.message, c.message);
  }
}

TEST(CheckRequest, BuiltInValuesUnlessGiven) {
  // Left out: Tungsten's row of the data file, as written.
  auto checked = check_request(texts("tungsten", "4"));
  ASSERT_TRUE(checked.request) << checked.message;
  EXPECT_EQ(checked.request->element, "Tungsten");
  EXPECT_EQ(checked.request->work_function_ev, 4.55);
  EXPECT_EQ(checked.request->energies_ev, (std::vector<double>{7.86403, 16.37, 26.0, 38.2, 51.6}));
  EXPECT_EQ(checked.controls.boxes[1], "7.86403");

  // Given: they win, each on its own.
  checked = check_request(texts("Tungsten", "1", "4.5"));
  ASSERT_TRUE(checked.request);
  EXPECT_EQ(checked.request->work_function_ev, 4.5);
  EXPECT_EQ(checked.request->energies_ev, (std::vector<double>{7.86403, 16.37}));
  checked = check_request(texts("Beryllium", "4", std::nullopt,
                                std::vector<std::string>{"9.3", "18.2", "153.9", "217.7", "1e3"}));
  ASSERT_TRUE(checked.request) << checked.message;
  EXPECT_EQ(checked.request->work_function_ev, 4.98);
  EXPECT_EQ(checked.request->energies_ev.back(), 1000.0);
  // Beryllium up to n = 3 needs no I5.
  EXPECT_TRUE(check_request(texts("Beryllium", "3")).request);
}

TEST(CheckRequest, ClosestNames) {
  EXPECT_EQ(closest_element_names("Calcium").front(), "Calicum");
  EXPECT_EQ(closest_element_names("titanium").front(), "Titan");
  EXPECT_EQ(resolve_element("GOLD"), "Gold");
  EXPECT_FALSE(resolve_element("Gol"));
  // Any name the one resolver takes, as long as the model has the element.
  EXPECT_EQ(resolve_element("Calcium"), "Calicum");
  EXPECT_EQ(resolve_element("ti"), "Titan");
  EXPECT_FALSE(resolve_element("Oxygen"));
  EXPECT_EQ(check_request(texts("Oxygen", "2")).message,
            "Oxygen (O) is not one of the 44 elements of the model's table (see --list-elements)");
  EXPECT_EQ(split_commas("a,,b"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(split_commas(""), (std::vector<std::string>{""}));
}

// The checks on numbers (the Python module's) give the requests and messages
// of the checks on texts, without writing a number out and reading it back.
TEST(CheckRequest, NumbersAreCheckedAsTheirTextsAre) {
  const auto same = [](const request_values& values, const request_texts& t) {
    const checked_request by_values = check_request(values, "see --list-elements");
    const checked_request by_texts = check_request(t);
    EXPECT_EQ(by_values.message, by_texts.message);
    ASSERT_EQ(by_values.request.has_value(), by_texts.request.has_value()) << by_texts.message;
    if (by_texts.request) {
      EXPECT_EQ(*by_values.request, *by_texts.request);
    }
  };
  same({"tungsten", 4, std::nullopt, std::nullopt}, texts("tungsten", "4"));
  same({"Iron", 1, 4.5, std::nullopt}, texts("Iron", "1", "4.5"));
  same({"Iron", 2, std::nullopt, std::vector<double>{7.9, 16.2, 30.6}},
       texts("Iron", "2", std::nullopt, std::vector<std::string>{"7.9", "16.2", "30.6"}));
  same({"Tungstn", 1, std::nullopt, std::nullopt}, texts("Tungstn", "1"));
  same({"Tungsten", 5, std::nullopt, std::nullopt}, texts("Tungsten", "5"));
  same({"Tungsten", 2, std::nullopt, std::vector<double>{7.0, 16.0}},
       texts("Tungsten", "2", std::nullopt, std::vector<std::string>{"7", "16"}));
  same({"Beryllium", 4, std::nullopt, std::nullopt}, texts("Beryllium", "4"));
  // Every double is a value, as Calculate reads NaN and the infinities.
  const auto odd = check_request({"Tungsten", 1, std::nan(""), std::vector<double>{1e300, -0.0}},
                                 "see veltrane.elements()");
  ASSERT_TRUE(odd.request);
  EXPECT_TRUE(std::isnan(odd.request->work_function_ev));
  EXPECT_EQ(odd.request->energies_ev[0], 1e300);
  EXPECT_TRUE(std::signbit(odd.request->energies_ev[1]));
  EXPECT_EQ(
      check_request({"Wolfram", 1, std::nullopt, std::nullopt}, "see veltrane.elements()").message,
      "unknown element \"Wolfram\"; closest: Calicum, Gallium, Osmium (see veltrane.elements())");
}

TEST(CheckRequest, BuiltInInputsOfAnElementList) {
  // Tungsten has all five energies: n as asked, no note.
  const built_in_inputs w = built_in_request("Tungsten", 4);
  ASSERT_TRUE(w.request);
  EXPECT_EQ(w.request->n, 4);
  EXPECT_EQ(w.note, "");
  EXPECT_EQ(*w.request, *check_request(texts("Tungsten", "4")).request);
  // Beryllium has four electrons: n = 4 is drawn as n = 3, and said so.
  const built_in_inputs be = built_in_request("Beryllium", 4);
  ASSERT_TRUE(be.request) << be.message;
  EXPECT_EQ(be.request->n, 3);
  EXPECT_EQ(be.request->energies_ev.size(), 4u);
  EXPECT_EQ(be.request->work_function_ev, 4.98);
  EXPECT_EQ(be.note,
            "Beryllium has no 5th ionisation energy: drawn with n = 3, the largest n its data "
            "allow (n = 4 asked for).");
  EXPECT_EQ(built_in_request("Beryllium", 3).note, "");
  const built_in_inputs unknown = built_in_request("Wolfram", 2);
  EXPECT_FALSE(unknown.request);
  EXPECT_EQ(unknown.message.rfind("unknown element \"Wolfram\"", 0), 0u) << unknown.message;
}
