#include "compute/datasets/joint_input.hpp"

#include <gtest/gtest.h>

#include "compute/curves/sweep.hpp"

using namespace veltrane;

namespace {

template <class Parse>
std::string refusal(Parse parse, const std::string& text) {
  try {
    parse(text);
  } catch (const input_refused& e) {
    return e.what();
  }
  return "accepted";
}

}  // namespace

TEST(JointInput, ElementsAsTyped) {
  using names = std::vector<std::string>;
  EXPECT_EQ(joint_elements_of("Fe,Cr,Nickel"), (names{"Fe", "Cr", "Nickel"}));
  EXPECT_EQ(joint_elements_of(" Fe , Cr "), (names{"Fe", "Cr"}));
  // "all" in any case is the default choice: no names.
  EXPECT_EQ(joint_elements_of("all"), names{});
  EXPECT_EQ(joint_elements_of(" ALL "), names{});
  EXPECT_EQ(joint_elements_of("Al"), names{"Al"});
  EXPECT_EQ(refusal(joint_elements_of, ""), "--elements: name the elements, e.g. Fe,Cr,Ni, or all");
  EXPECT_EQ(refusal(joint_elements_of, "  "),
            "--elements: name the elements, e.g. Fe,Cr,Ni, or all");
  EXPECT_EQ(refusal(joint_elements_of, "Fe,,Cr"),
            "--elements: an empty name in \"Fe,,Cr\"; name the elements separated by commas, e.g. "
            "Fe,Cr,Ni");
  EXPECT_EQ(refusal(joint_elements_of, "Fe,"),
            "--elements: an empty name in \"Fe,\"; name the elements separated by commas, e.g. "
            "Fe,Cr,Ni");
}

TEST(JointInput, IonisationsForAllOrPerElement) {
  const joint_ionisations all = joint_ionisations_of("3");
  EXPECT_EQ(all.all, 3);
  EXPECT_TRUE(all.by_element.empty());
  const joint_ionisations each = joint_ionisations_of("Fe:2, Cr : 3");
  EXPECT_FALSE(each.all);
  EXPECT_EQ(each.by_element, (std::map<std::string, int>{{"Fe", 2}, {"Cr", 3}}));
  const joint_ionisations both = joint_ionisations_of("3,Iron:2");
  EXPECT_EQ(both.all, 3);
  EXPECT_EQ(both.by_element, (std::map<std::string, int>{{"Iron", 2}}));
  // Out-of-range numbers are the models' to refuse, with the element.
  EXPECT_EQ(joint_ionisations_of("Fe:9").by_element.at("Fe"), 9);

  EXPECT_EQ(refusal(joint_ionisations_of, "Fe:x"),
            "--ionisations: \"Fe:x\" is not an element and a whole number, e.g. Fe:2");
  EXPECT_EQ(refusal(joint_ionisations_of, ":2"),
            "--ionisations: \":2\" is not an element and a whole number, e.g. Fe:2");
  EXPECT_EQ(refusal(joint_ionisations_of, "Fe:-1"),
            "--ionisations: \"Fe:-1\" is not an element and a whole number, e.g. Fe:2");
  EXPECT_EQ(refusal(joint_ionisations_of, "two"),
            "--ionisations: \"two\" is not a whole number for every element or an element and its "
            "number, e.g. 3 or Fe:2,Cr:3");
  EXPECT_EQ(refusal(joint_ionisations_of, ""),
            "--ionisations: \"\" is not a whole number for every element or an element and its "
            "number, e.g. 3 or Fe:2,Cr:3");
  EXPECT_EQ(refusal(joint_ionisations_of, "1234567"),
            "--ionisations: \"1234567\" is not a whole number for every element or an element and "
            "its number, e.g. 3 or Fe:2,Cr:3");
  EXPECT_EQ(refusal(joint_ionisations_of, "3,4"),
            "--ionisations: one number for every element is given twice");
  EXPECT_EQ(refusal(joint_ionisations_of, "Fe:2,Fe:3"), "--ionisations: Fe is given twice");
}
