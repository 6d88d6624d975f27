#include <benchmark/benchmark.h>

#include "model/accurate_model.hpp"
