// Affine transforms: construction from axis angles and scales, composition
// and inversion.
#include "imgnorm/xform.h"

#include <cmath>

vkXform<2>::vkXform(const vkVector<2>& translation, vkRadian xRotation, vkRadian yRotation,
                    double xScale, double yScale)
    : a_(xScale * std::cos(xRotation.toDouble())),
      b_(-yScale * std::sin(yRotation.toDouble())),
      c_(xScale * std::sin(xRotation.toDouble())),
      d_(yScale * std::cos(yRotation.toDouble())),
      tx_(translation.x()),
      ty_(translation.y()) {}

vkXform<2> vkXform<2>::operator*(const vkXform<2>& y) const {
    return {a_ * y.a_ + b_ * y.c_, a_ * y.b_ + b_ * y.d_, c_ * y.a_ + d_ * y.c_,
            c_ * y.b_ + d_ * y.d_, a_ * y.tx_ + b_ * y.ty_ + tx_, c_ * y.tx_ + d_ * y.ty_ + ty_};
}

vkXform<2> vkXform<2>::inverse() const {
    const double det = determinant();
    if (det == 0.0 || !std::isfinite(det)) throw vkPelFunc::BadParams("transform is singular and has no inverse");
    const double ia = d_ / det, ib = -b_ / det, ic = -c_ / det, id = a_ / det;
    return {ia, ib, ic, id, -(ia * tx_ + ib * ty_), -(ic * tx_ + id * ty_)};
}

const vkXformHandle& vfIdentityXformHandle() {
    static const vkXformHandle identity = std::make_shared<const vkXform<2>>();
    return identity;
}
