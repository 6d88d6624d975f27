#pragma once

namespace veltrane {

/// The same probability as `veltrane`, bit for bit wherever the result is a
/// number, evaluated with less work:
///  - W, Z and zc are formed once per integration instead of once per sample;
///  - each thread keeps its two integration workspaces between calls (the
///    integrator initialises a workspace at every call, so reuse changes
///    nothing);
///  - a transmission whose limits are not numbers is NaN without integrating
///    (every sample would be NaN), and a flight point whose speed is not a
///    number is NaN without evaluating the rate;
///  - the flight points are evaluated from the surface outward and the first
///    NaN ends the call, since one NaN factor makes the product NaN.
/// Safe to call from several threads at once.
double fast_veltrane(double E, double B, double phi, int m, int n, double m_ion, double u);

/// The rate R of the model, evaluated as `fast_veltrane` does.
double fast_R(double z, double E, double B, double phi, int m, int n);

}  // namespace veltrane
