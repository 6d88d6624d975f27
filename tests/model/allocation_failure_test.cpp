// The model when GSL cannot allocate an integration workspace. Linked with
// --wrap=gsl_integration_workspace_alloc, so that the allocation can be made
// to fail the way GSL's own does: through the error handler, then NULL.
#include <gsl/gsl_errno.h>
#include <gsl/gsl_integration.h>
#include <gtest/gtest.h>

#include <cmath>

#include "model/fast_model.hpp"
#include "model/model.hpp"

namespace {
bool fail_allocations = false;
}

extern "C" {
gsl_integration_workspace* __real_gsl_integration_workspace_alloc(size_t n);

gsl_integration_workspace* __wrap_gsl_integration_workspace_alloc(size_t n) {
  if (fail_allocations) {
    GSL_ERROR_VAL("failed to allocate space for workspace struct", GSL_ENOMEM, nullptr);
  }
  return __real_gsl_integration_workspace_alloc(n);
}
}

TEST(ModelAllocation, AFailedWorkspaceOnTheFirstRateGivesNaN) {
  // The very first rate of the process, with GSL's aborting handler still in
  // place: the model must switch it off before it allocates.
  gsl_set_error_handler(nullptr);
  fail_allocations = true;
  EXPECT_TRUE(std::isnan(veltrane::R(12.0, 0.05, 0.7, 0.16, 3, 1)));
  gsl_set_error_handler(nullptr);
  EXPECT_TRUE(std::isnan(veltrane::veltrane(0.05, 0.7, 0.16, 3, 1, 26.981, 0.1)));
  gsl_set_error_handler(nullptr);
  EXPECT_TRUE(std::isnan(veltrane::fast_R(12.0, 0.05, 0.7, 0.16, 3, 1)));
  fail_allocations = false;
  EXPECT_TRUE(std::isfinite(veltrane::R(12.0, 0.05, 0.7, 0.16, 3, 1)));
}
