// Lines in the plane and the least-squares line fitter.
#include "platform/linefit.h"

#include <cmath>

namespace {

constexpr double kPi = vkDegree::kPi;
// Directions closer than this (as the sine of the angle between them) count
// as parallel.
constexpr double kParallel = 1e-12;

double cross(const vkVector<2>& a, const vkVector<2>& b) { return a.x() * b.y() - a.y() * b.x(); }

}  // namespace

vkFLine::vkFLine(vkRadian angle, const vkVector<2>& point) {
    const double a = angle.toDouble();
    if (!std::isfinite(a) || !std::isfinite(point.x()) || !std::isfinite(point.y()))
        throw vkPelFunc::BadParams("a line needs a finite angle and point");
    // Fold into (-pi/2, pi/2].
    double folded = std::remainder(a, kPi);  // [-pi/2, pi/2]
    if (folded <= -kPi / 2) folded += kPi;
    angle_ = vkRadian(folded);
    point_ = point;
    // The exact vertical keeps an exact direction, so that two vertical
    // lines are exactly parallel.
    direction_ = folded == kPi / 2 ? vkVector<2>(0.0, 1.0) : vkVector<2>(std::cos(folded), std::sin(folded));
}

std::vector<vkVector<2>> vkFLine::intersection(const vkFLine& other) const {
    const double c = cross(direction_, other.direction_);
    if (std::fabs(c) < kParallel) return {};
    // point_ + t * direction_ lies on other: cross(p - other.point_, d2) = 0.
    const double t = cross(other.point_ - point_, other.direction_) / c;
    return {point_ + direction_ * t};
}

void vkLSLineFitter::update(double x, double y, double weight) {
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(weight) || weight < 0.0)
        throw vkPelFunc::BadParams("line fitter points need finite coordinates and a weight >= 0");
    if (weight == 0.0) return;
    const double total = weight_ + weight;
    const double dx = x - meanX_;
    const double dy = y - meanY_;
    const double f = weight / total;
    meanX_ += dx * f;
    meanY_ += dy * f;
    // (x - old mean) * (y - new mean) * weight, the weighted Welford step.
    sxx_ += weight * dx * (x - meanX_);
    sxy_ += weight * dx * (y - meanY_);
    weight_ = total;
}

vkFLine vkLSLineFitter::fit() const {
    if (weight_ <= 0.0) return vkFLine(vkRadian(kPi / 2), vkVector<2>(0.0, 0.0));
    if (!(sxx_ > 0.0)) return vkFLine(vkRadian(kPi / 2), vkVector<2>(meanX_, meanY_));
    // sxx_ > 0, so the angle lies in [-pi/2, pi/2]; a slope too steep for a
    // double becomes the vertical.
    return vkFLine(vkRadian(std::atan2(sxy_, sxx_)), vkVector<2>(meanX_, meanY_));
}
