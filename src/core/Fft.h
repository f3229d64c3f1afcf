#pragma once
// The radix-2 transform behind the thermal-noise spectrum, the oscilloscope's
// frequency view and the z-noise spectroscopy: 512-point frames of controller
// samples, small enough that a plain iterative transform is all we need.

#include <complex>
#include <cstdint>
#include <vector>

namespace qvt {

// The lowest `bits` bits of `index` in reverse order (bit 0 becomes bit bits-1).
uint32_t BitReverse(uint32_t index, unsigned bits);

// Forward transform in place: X(k) = sum_n x(n) * exp(-2 pi i k n / N).
// Returns false (and leaves the data alone) unless the size is a power of two >= 2.
bool FftInPlace(std::vector<std::complex<double>>& data);

// The Hann weight sin^2(pi k / n) the spectra apply to sample k of n before the transform.
double HannWeight(int k, int n);

} // namespace qvt
