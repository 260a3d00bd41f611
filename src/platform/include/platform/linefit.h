// Straight lines in the plane and a least-squares line fitter.
//
// vkFLine is an infinite line given by a direction angle and a point on it.
// vkLSLineFitter collects (weighted) points and fits the line y = a + s * x
// that minimises the sum of squared vertical distances (ordinary least
// squares of y on x). Vertical distances are chosen deliberately: the fitted
// line is then the best predictor of y from x, which is what a gray-value
// mapping from x to y needs; and points whose x is exact while y carries the
// noise (as with a quantized gray-level transform) give an unbiased line.
#pragma once

#include <vector>

#include "imgnorm/geometry.h"

class vkFLine {
public:
    // The x axis: angle 0 through the origin.
    vkFLine() = default;
    // The line through point whose direction makes angle with the x axis.
    // Lines have no orientation: the angle is kept modulo 180 degrees, in
    // (-90, 90] degrees, so 135 degrees reads back as -45 and -90 as 90.
    // A non-finite angle or point throws vkPelFunc::BadParams.
    vkFLine(vkRadian angle, const vkVector<2>& point);

    // Direction angle in (-90, 90] degrees (as radians); tan(angle()) is the
    // slope dy/dx, and 90 degrees is vertical.
    vkRadian angle() const { return angle_; }
    // The point the line was built with.
    const vkVector<2>& point() const { return point_; }
    // Unit vector along the line, (cos angle, sin angle).
    const vkVector<2>& direction() const { return direction_; }

    // The points this line shares with other: one point, or none when the
    // lines are parallel (their directions differ by less than 1e-12 radian),
    // coincident lines included.
    std::vector<vkVector<2>> intersection(const vkFLine& other) const;

private:
    vkRadian angle_;
    vkVector<2> point_;
    vkVector<2> direction_{1.0, 0.0};
};

class vkLSLineFitter {
public:
    // Adds the point (x, y) with the given weight (>= 0). Non-finite
    // coordinates, or a negative or non-finite weight, throw
    // vkPelFunc::BadParams and leave the fitter unchanged. A weight of 0 adds
    // nothing.
    void update(double x, double y, double weight = 1.0);

    // Sum of the weights added so far.
    double weight() const { return weight_; }
    // Forgets every point.
    void reset() { *this = vkLSLineFitter(); }

    // The line y = a + s * x minimising the weighted sum of squared vertical
    // distances; it passes through the weighted centroid with slope
    // cov(x, y) / var(x). Degenerate inputs give defined lines, never NaN:
    // with no point (total weight 0) the vertical line x = 0; with every
    // point on one x the vertical line through their centroid. A vertical
    // line meets no other vertical line, so a caller that intersects the fit
    // with x = 0 gets no point in both cases.
    vkFLine fit() const;

private:
    // Weighted running means and centred sums (West's update), which stay
    // accurate when the coordinates are large compared to their spread.
    double weight_ = 0.0;
    double meanX_ = 0.0;
    double meanY_ = 0.0;
    double sxx_ = 0.0;
    double sxy_ = 0.0;
};
