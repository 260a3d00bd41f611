// Two-dimensional affine transforms. A transform maps a point p to
// M * p + t with a 2x2 matrix M and a translation t. Image buffers hold their
// transforms through shared handles (vkXformHandle) that are compared by
// identity, so that a caller can tell whether a transform was replaced.
#pragma once

#include <memory>

#include "imgnorm/export.h"
#include "imgnorm/geometry.h"

template <int N>
class vkXform;

template <>
class IMGNORM_API vkXform<2> {
public:
    // The identity.
    vkXform() = default;
    // Matrix elements row by row (a b; c d) and the translation.
    vkXform(double a, double b, double c, double d, double tx, double ty)
        : a_(a), b_(b), c_(c), d_(d), tx_(tx), ty_(ty) {}
    // Translation, then the directions and lengths of the mapped x and y
    // axes: the x axis turns by xRotation and is scaled by xScale, the y axis
    // turns by yRotation and is scaled by yScale. Equal rotations and unit
    // scales give a pure rotation.
    vkXform(const vkVector<2>& translation, vkRadian xRotation, vkRadian yRotation, double xScale,
            double yScale);

    static vkXform translation(double tx, double ty) { return {1, 0, 0, 1, tx, ty}; }
    static vkXform scale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }

    vkVector<2> map(const vkVector<2>& p) const {
        return {a_ * p.x() + b_ * p.y() + tx_, c_ * p.x() + d_ * p.y() + ty_};
    }
    vkVector<2> operator*(const vkVector<2>& p) const { return map(p); }
    // Composition: (X * Y).map(p) == X.map(Y.map(p)).
    vkXform operator*(const vkXform& y) const;
    // Throws vkPelFunc::BadParams when the matrix is singular.
    vkXform inverse() const;
    bool isIdentity() const {
        return a_ == 1 && b_ == 0 && c_ == 0 && d_ == 1 && tx_ == 0 && ty_ == 0;
    }
    double determinant() const { return a_ * d_ - b_ * c_; }

    double a() const { return a_; }
    double b() const { return b_; }
    double c() const { return c_; }
    double d() const { return d_; }
    vkVector<2> trans() const { return {tx_, ty_}; }

    friend bool operator==(const vkXform& x, const vkXform& y) {
        return x.a_ == y.a_ && x.b_ == y.b_ && x.c_ == y.c_ && x.d_ == y.d_ && x.tx_ == y.tx_ &&
               x.ty_ == y.ty_;
    }
    friend bool operator!=(const vkXform& x, const vkXform& y) { return !(x == y); }

private:
    double a_ = 1, b_ = 0, c_ = 0, d_ = 1, tx_ = 0, ty_ = 0;
};

// A linear transform (no translation); default-constructed it is the
// identity, which is how buffers are given the identity transform.
class IMGNORM_API vk2XformLinear : public vkXform<2> {
public:
    vk2XformLinear() = default;
    vk2XformLinear(double a, double b, double c, double d) : vkXform<2>(a, b, c, d, 0, 0) {}
};

using vkXformHandle = std::shared_ptr<const vkXform<2>>;

// The shared handle to the identity that new buffers start with.
IMGNORM_API const vkXformHandle& vfIdentityXformHandle();
