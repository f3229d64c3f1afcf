#pragma once
// The height surface of the 3D view, built from an image window's 8-bit
// picture: heights from the colour indexes and the z gain, one normal and
// one colour per grid point, and the index lists of the triangle strips.
// Plain arrays, so the window draws them as vertex arrays and the tests
// check them without any OpenGL.

#include "images/ColorPalette.h"

#include <array>
#include <cstdint>
#include <vector>

namespace qvt {

class TIndexedBitmap;

// 101 colours (0..255 each), entry k from palette entry round(k / 100 × 255).
struct TA3DColor {
    uint8_t R = 0;
    uint8_t G = 0;
    uint8_t B = 0;
};
using TA3DColorTable = std::array<TA3DColor, 101>;
TA3DColorTable A3DColorTable(const TColorTable& palette);

class TA3DMesh {
public:
    // An n × n grid from the picture (n: its height, at most its width) with
    // z gain `gain` (1..100). An empty picture gives an empty mesh.
    void Build(const TIndexedBitmap& picture, int gain, const TColorTable& palette);
    void Clear();

    int Size() const { return n_; }
    bool Empty() const { return n_ < 3; }
    // Grid point (row i, column j): height, unit normal, colour 0..1.
    float Height(int i, int j) const { return positions_[Index(i, j) * 3 + 2]; }
    std::array<float, 3> Normal(int i, int j) const;
    std::array<float, 3> Color(int i, int j) const;

    // Per grid point three floats each: x, y, z; normal; colour.
    const std::vector<float>& Positions() const { return positions_; }
    const std::vector<float>& Normals() const { return normals_; }
    const std::vector<float>& Colors() const { return colors_; }
    // Strip r (rows r+1 and r+2 of the grid) starts at StripIndexes()[r × StripLength()].
    const std::vector<uint32_t>& StripIndexes() const { return strips_; }
    int StripCount() const { return n_ < 3 ? 0 : n_ - 2; }
    int StripLength() const { return n_ < 3 ? 0 : 2 * (n_ - 2); }

private:
    std::size_t Index(int i, int j) const { return static_cast<std::size_t>(i) * n_ + j; }
    void BuildNormals();
    void BuildStrips();

    int n_ = 0;
    int stripsFor_ = 0; // the grid size the strip indexes were made for
    std::vector<float> positions_;
    std::vector<float> normals_;
    std::vector<float> colors_;
    std::vector<uint32_t> strips_;
};

} // namespace qvt
