#include <gtest/gtest.h>

#include "model/accurate_model.hpp"
