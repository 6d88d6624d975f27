#include "compute/curves/request.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace veltrane;

namespace {

control_state filled(int n) {
  control_state c;
  c.element = "Tungsten";
  c.ionisations = n;
  c.boxes = {"4.55", "7.864", "16.37", "26.0", "38.2", "51.6"};
  return c;
}

std::string message_of(const control_state& c, const number_format& f = {}) {
  return read_request(c, f).message;
}

}  // namespace

TEST(ReadRequest, AcceptsAndConverts) {
  auto c = filled(2);
  c.save_text = true;
  const auto r = read_request(c, {});
  ASSERT_TRUE(r.request) << r.message;
  EXPECT_EQ(r.request->element, "Tungsten");
  EXPECT_EQ(r.request->n, 2);
  EXPECT_EQ(r.request->period, 6);
  EXPECT_EQ(r.request->atomic_mass, 183.84);
  EXPECT_EQ(r.request->work_function_ev, 4.55);
  EXPECT_EQ(r.request->energies_ev, (std::vector<double>{7.864, 16.37, 26.0}));
  EXPECT_TRUE(r.request->save_text);
}

TEST(ReadRequest, OrderOfChecksDecidesTheMessage) {
  // The count is checked first, before the element and before any box.
  auto c = filled(1);
  c.ionisations = 5;
  c.element.reset();
  c.boxes[0] = "abc";
  EXPECT_EQ(message_of(c), messages::bad_count);
  c.ionisations = 0.0;
  EXPECT_EQ(message_of(c), messages::bad_count);
  c.ionisations = NAN;
  EXPECT_EQ(message_of(c), messages::bad_count);
  c.ionisations = 1e30;
  EXPECT_EQ(message_of(c), messages::bad_count);
  c.ionisations = 4.9;  // truncated toward zero: 4
  EXPECT_EQ(message_of(c), messages::no_element);

  // No element: asked for before any text box is read.
  c = filled(1);
  c.element.reset();
  c.boxes[1].clear();
  EXPECT_EQ(message_of(c), messages::no_element);
  c.element = "Unobtainium";
  EXPECT_EQ(message_of(c), messages::no_element);
}

TEST(ReadRequest, EmptyBoxesAndBlanks) {
  auto c = filled(1);
  c.boxes[1].clear();  // 1st ionisation energy
  EXPECT_EQ(message_of(c), messages::empty_box);
  c = filled(1);
  c.boxes[0].clear();
  EXPECT_EQ(message_of(c), messages::empty_box);
  c = filled(1);
  c.boxes[2].clear();
  c.boxes[0] = "abc";  // the empty check comes before any conversion
  EXPECT_EQ(message_of(c), messages::empty_box);

  // With n = 2 an empty box is a format failure.
  c = filled(2);
  c.boxes[1].clear();
  EXPECT_EQ(message_of(c), messages::bad_number);

  // A blank is not empty: it fails the conversion.
  c = filled(1);
  c.boxes[0] = " ";
  EXPECT_EQ(message_of(c), messages::bad_number);
}

TEST(ReadRequest, HiddenBoxesAreNeverRead) {
  auto c = filled(1);
  c.boxes[3] = "abc";
  c.boxes[4] = "";
  c.boxes[5] = "x";
  const auto r = read_request(c, {});
  ASSERT_TRUE(r.request) << r.message;
  EXPECT_EQ(r.request->energies_ev.size(), 2u);

  c = filled(3);
  c.boxes[5] = "garbage";
  EXPECT_TRUE(read_request(c, {}).request) << "textBox6 is ignored for n = 3";
  c = filled(4);
  c.boxes[5] = "garbage";
  EXPECT_EQ(message_of(c), messages::bad_number) << "all six boxes are read for n = 4";
}

TEST(ReadRequest, LocaleAndRangeOfValues) {
  number_format german{",", ".", "NaN", "Infinity", "-Infinity"};
  auto c = filled(1);
  c.boxes[0] = "4,5";
  c.boxes[1] = "7.864";  // the point groups: 7864
  c.boxes[2] = "1e1";
  const auto r = read_request(c, german);
  ASSERT_TRUE(r.request) << r.message;
  EXPECT_EQ(r.request->work_function_ev, 4.5);
  EXPECT_EQ(r.request->energies_ev[0], 7864.0);
  EXPECT_EQ(r.request->energies_ev[1], 10.0);

  // No range checks: zero, negative, NaN and infinity are accepted.
  c = filled(1);
  c.boxes = {"0", "-3", "NaN", "", "", ""};
  const auto odd = read_request(c, {});
  ASSERT_TRUE(odd.request) << odd.message;
  EXPECT_TRUE(std::isnan(odd.request->energies_ev[1]));

  c.boxes[2] = "1e400";  // beyond a double: refused like any bad text
  EXPECT_EQ(message_of(c), messages::bad_number);
}
