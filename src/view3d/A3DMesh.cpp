#include "view3d/A3DMesh.h"

#include "core/NumberText.h"
#include "images/ImageRender.h"

#include <algorithm>
#include <cmath>

namespace qvt {

TA3DColorTable A3DColorTable(const TColorTable& palette)
{
    TA3DColorTable table;
    for (int k = 0; k <= 100; ++k) {
        const TPaletteEntry& e = palette[static_cast<std::size_t>(Round(k / 100.0 * 255.0))];
        table[static_cast<std::size_t>(k)] = {e.Red, e.Green, e.Blue};
    }
    return table;
}

std::array<float, 3> TA3DMesh::Normal(int i, int j) const
{
    const std::size_t k = Index(i, j) * 3;
    return {normals_[k], normals_[k + 1], normals_[k + 2]};
}

std::array<float, 3> TA3DMesh::Color(int i, int j) const
{
    const std::size_t k = Index(i, j) * 3;
    return {colors_[k], colors_[k + 1], colors_[k + 2]};
}

void TA3DMesh::Clear()
{
    n_ = 0;
    positions_.clear();
    normals_.clear();
    colors_.clear();
}

void TA3DMesh::Build(const TIndexedBitmap& picture, int gain, const TColorTable& palette)
{
    // A picture narrower than high would be read past its rows.
    n_ = std::min(picture.Height(), picture.Width());
    if (n_ < 3) {
        Clear();
        return;
    }
    const std::size_t count = static_cast<std::size_t>(n_) * n_ * 3;
    positions_.resize(count);
    normals_.resize(count);
    colors_.resize(count);

    const double g = gain;
    const float step = 256.0f / static_cast<float>(n_);
    const TA3DColorTable table = A3DColorTable(palette);
    for (int i = 0; i < n_; ++i) {
        const uint8_t* row = picture.Row(i);
        for (int j = 0; j < n_; ++j) {
            const double h = g / 256.0 * row[j];
            const std::size_t k = Index(i, j) * 3;
            positions_[k] = static_cast<float>(j) * step;
            positions_[k + 1] = static_cast<float>(i) * step;
            positions_[k + 2] = static_cast<float>(h);
            int c = 0;
            if (g > 0)
                c = std::clamp(static_cast<int>(Round(std::fabs(h / g) * 100.0)), 0, 100);
            const TA3DColor& col = table[static_cast<std::size_t>(c)];
            colors_[k] = col.R / 255.0f;
            colors_[k + 1] = col.G / 255.0f;
            colors_[k + 2] = col.B / 255.0f;
        }
    }
    BuildNormals();
    if (stripsFor_ != n_)
        BuildStrips();
}

namespace {
// Unit normal of the triangle a, b, c of a grid with step 1, its z part
// negative (the surface's convention); added to each corner's sum.
void AddTriangle(const double* h, int n, std::vector<double>& sum, int a, int b, int c)
{
    const auto x = [n](int k) { return static_cast<double>(k % n); };
    const auto y = [n](int k) { return static_cast<double>(k / n); };
    const double ux = x(b) - x(a), uy = y(b) - y(a), uz = h[b] - h[a];
    const double vx = x(c) - x(a), vy = y(c) - y(a), vz = h[c] - h[a];
    double nx = uy * vz - uz * vy;
    double ny = uz * vx - ux * vz;
    double nz = ux * vy - uy * vx;
    if (nz > 0) {
        nx = -nx;
        ny = -ny;
        nz = -nz;
    }
    const double len = std::sqrt(nx * nx + ny * ny + nz * nz);
    for (int k : {a, b, c}) {
        sum[static_cast<std::size_t>(k) * 3] += nx / len;
        sum[static_cast<std::size_t>(k) * 3 + 1] += ny / len;
        sum[static_cast<std::size_t>(k) * 3 + 2] += nz / len;
    }
}
} // namespace

void TA3DMesh::BuildNormals()
{
    // Every cell is split along its rising diagonal, as the strips draw it,
    // so an inner point meets six triangles; a border point meets only those
    // inside the grid and gets their mean, a one-sided normal.
    const int n = n_;
    std::vector<double> h(static_cast<std::size_t>(n) * n);
    for (std::size_t k = 0; k < h.size(); ++k)
        h[k] = positions_[k * 3 + 2];
    std::vector<double> sum(h.size() * 3, 0.0);
    for (int i = 0; i + 1 < n; ++i) {
        for (int j = 0; j + 1 < n; ++j) {
            const int p = i * n + j;
            AddTriangle(h.data(), n, sum, p + n, p, p + n + 1);
            AddTriangle(h.data(), n, sum, p, p + n + 1, p + 1);
        }
    }
    for (std::size_t k = 0; k < h.size(); ++k) {
        const double x = sum[k * 3], y = sum[k * 3 + 1], z = sum[k * 3 + 2];
        const double len = std::sqrt(x * x + y * y + z * z);
        normals_[k * 3] = static_cast<float>(x / len);
        normals_[k * 3 + 1] = static_cast<float>(y / len);
        normals_[k * 3 + 2] = static_cast<float>(z / len);
    }
}

void TA3DMesh::BuildStrips()
{
    // Rows 1..n-2, each a strip over columns 1..n-2: point (i+1, j), then (i, j).
    strips_.clear();
    strips_.reserve(static_cast<std::size_t>(StripCount()) * StripLength());
    for (int i = 1; i <= n_ - 2; ++i) {
        for (int j = 1; j <= n_ - 2; ++j) {
            strips_.push_back(static_cast<uint32_t>(Index(i + 1, j)));
            strips_.push_back(static_cast<uint32_t>(Index(i, j)));
        }
    }
    stripsFor_ = n_;
}

} // namespace qvt
