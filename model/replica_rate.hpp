#pragma once

// The prescribed rate (fast_R, model/fast_model.hpp) evaluated again by
// replicas of its two adaptive integrations (model/qags_replica.hpp): the
// direction integral of the transmission and, inside it, the barrier
// integral of each path. The same expressions and the same integrations
// give the same bits; what the replicas add is that they stop once the
// outcome is certain, and that the barrier integral's rule forms its 21
// values at once (vectorised).
//
// Atomic units throughout, as in model/model.hpp.

namespace veltrane {

/// fast_R(z, E, B, phi, m, n), bit for bit (NaN where it is NaN). Where the
/// rate is NaN it stops at the first direction that makes it so. Safe to
/// call from several threads at once.
double replica_R(double z, double E, double B, double phi, int m, int n);

/// Whether fast_R(z, E, B, phi, m, n) is NaN, following its direction
/// integration only until that is certain: once it samples a direction above
/// which no path has turning points, the rate is NaN unless an extrapolated
/// result was accepted before; once one is accepted, the rate is a number.
/// That takes a few dozen transmissions where the whole integration takes
/// hundreds or thousands. Safe to call from several threads at once.
bool replica_R_is_nan(double z, double E, double B, double phi, int m, int n);

}  // namespace veltrane
