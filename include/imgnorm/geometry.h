// Small geometry value types: pairs, 2-vectors, angles and axis-aligned
// rectangles. Rectangles use the pixel-edge convention: a rectangle at (x, y)
// of size w x h covers the pixel positions x..x+w-1 and y..y+h-1, and its
// corners ul/ur/ll/lr are the points (x, y), (x+w, y), (x, y+h), (x+w, y+h).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "imgnorm/exception.h"

template <class T>
class vkPair {
public:
    constexpr vkPair() : x_(), y_() {}
    constexpr vkPair(T x, T y) : x_(x), y_(y) {}

    constexpr T x() const { return x_; }
    constexpr T y() const { return y_; }
    void x(T v) { x_ = v; }
    void y(T v) { y_ = v; }

    friend constexpr vkPair operator+(vkPair a, vkPair b) { return {a.x_ + b.x_, a.y_ + b.y_}; }
    friend constexpr vkPair operator-(vkPair a, vkPair b) { return {a.x_ - b.x_, a.y_ - b.y_}; }
    vkPair& operator+=(vkPair b) { return *this = *this + b; }
    vkPair& operator-=(vkPair b) { return *this = *this - b; }
    friend constexpr bool operator==(vkPair a, vkPair b) { return a.x_ == b.x_ && a.y_ == b.y_; }
    friend constexpr bool operator!=(vkPair a, vkPair b) { return !(a == b); }

private:
    T x_;
    T y_;
};

// A point or direction in the plane. Only the 2-D form exists.
template <int N>
class vkVector;

template <>
class vkVector<2> {
public:
    constexpr vkVector() : x_(0.0), y_(0.0) {}
    constexpr vkVector(double x, double y) : x_(x), y_(y) {}
    template <class T>
    constexpr explicit vkVector(const vkPair<T>& p)
        : x_(static_cast<double>(p.x())), y_(static_cast<double>(p.y())) {}

    constexpr double x() const { return x_; }
    constexpr double y() const { return y_; }
    double length() const { return std::hypot(x_, y_); }

    friend constexpr vkVector operator+(vkVector a, vkVector b) { return {a.x_ + b.x_, a.y_ + b.y_}; }
    friend constexpr vkVector operator-(vkVector a, vkVector b) { return {a.x_ - b.x_, a.y_ - b.y_}; }
    friend constexpr vkVector operator-(vkVector a) { return {-a.x_, -a.y_}; }
    friend constexpr vkVector operator*(vkVector a, double s) { return {a.x_ * s, a.y_ * s}; }
    friend constexpr vkVector operator*(double s, vkVector a) { return {a.x_ * s, a.y_ * s}; }
    friend constexpr bool operator==(vkVector a, vkVector b) { return a.x_ == b.x_ && a.y_ == b.y_; }
    friend constexpr bool operator!=(vkVector a, vkVector b) { return !(a == b); }

private:
    double x_;
    double y_;
};

class vkDegree;

// An angle in radians. Construction from a vkDegree converts.
class vkRadian {
public:
    constexpr vkRadian() : v_(0.0) {}
    constexpr explicit vkRadian(double radians) : v_(radians) {}
    constexpr vkRadian(vkDegree d);  // NOLINT: conversion between angle units is intended
    constexpr double toDouble() const { return v_; }
    friend constexpr vkRadian operator+(vkRadian a, vkRadian b) { return vkRadian(a.v_ + b.v_); }
    friend constexpr vkRadian operator-(vkRadian a, vkRadian b) { return vkRadian(a.v_ - b.v_); }
    friend constexpr bool operator==(vkRadian a, vkRadian b) { return a.v_ == b.v_; }
    friend constexpr bool operator!=(vkRadian a, vkRadian b) { return a.v_ != b.v_; }

private:
    double v_;
};

// An angle in degrees. Construction from a vkRadian converts.
class vkDegree {
public:
    constexpr vkDegree() : v_(0.0) {}
    constexpr explicit vkDegree(double degrees) : v_(degrees) {}
    constexpr vkDegree(vkRadian r) : v_(r.toDouble() * (180.0 / kPi)) {}  // NOLINT
    constexpr double toDouble() const { return v_; }
    friend constexpr vkDegree operator+(vkDegree a, vkDegree b) { return vkDegree(a.v_ + b.v_); }
    friend constexpr vkDegree operator-(vkDegree a, vkDegree b) { return vkDegree(a.v_ - b.v_); }
    friend constexpr bool operator==(vkDegree a, vkDegree b) { return a.v_ == b.v_; }
    friend constexpr bool operator!=(vkDegree a, vkDegree b) { return a.v_ != b.v_; }

    static constexpr double kPi = 3.14159265358979323846;

private:
    double v_;
};

constexpr vkRadian::vkRadian(vkDegree d) : v_(d.toDouble() * (vkDegree::kPi / 180.0)) {}

// Axis-aligned rectangle with an origin (upper-left corner) and a size.
// Width and height are never negative; a rectangle with either of them 0 is
// null (empty). The far edge x + width must stay inside the range of T, which
// the constructor checks.
template <class T>
class vkRectangle {
    static_assert(std::is_integral_v<T> && std::is_signed_v<T>, "pixel rectangles are integral");

public:
    using point_type = vkPair<T>;

    constexpr vkRectangle() : x_(0), y_(0), w_(0), h_(0) {}
    vkRectangle(T x, T y, T width, T height) : x_(x), y_(y), w_(width), h_(height) { check(); }
    vkRectangle(const point_type& origin, const point_type& size)
        : vkRectangle(origin.x(), origin.y(), size.x(), size.y()) {}

    point_type origin() const { return {x_, y_}; }
    point_type ul() const { return {x_, y_}; }
    point_type ur() const { return {x_ + w_, y_}; }
    point_type ll() const { return {x_, y_ + h_}; }
    point_type lr() const { return {x_ + w_, y_ + h_}; }
    point_type size() const { return {w_, h_}; }
    T width() const { return w_; }
    T height() const { return h_; }
    bool isNull() const { return w_ == 0 || h_ == 0; }
    std::int64_t area() const { return static_cast<std::int64_t>(w_) * h_; }

    // True when the pixel position p lies inside the rectangle.
    bool contains(const point_type& p) const {
        return p.x() >= x_ && p.y() >= y_ && p.x() - x_ < w_ && p.y() - y_ < h_;
    }
    // True when r lies entirely inside this rectangle (a null r always does).
    bool contains(const vkRectangle& r) const {
        if (r.isNull()) return true;
        return r.x_ >= x_ && r.y_ >= y_ && wide(r.x_) + r.w_ <= wide(x_) + w_ &&
               wide(r.y_) + r.h_ <= wide(y_) + h_;
    }

    // Intersection. Disjoint rectangles give a null rectangle at the origin
    // of this one.
    friend vkRectangle operator&(const vkRectangle& a, const vkRectangle& b) {
        const auto x0 = std::max(wide(a.x_), wide(b.x_));
        const auto y0 = std::max(wide(a.y_), wide(b.y_));
        const auto x1 = std::min(wide(a.x_) + a.w_, wide(b.x_) + b.w_);
        const auto y1 = std::min(wide(a.y_) + a.h_, wide(b.y_) + b.h_);
        if (x1 <= x0 || y1 <= y0 || a.isNull() || b.isNull()) {
            vkRectangle r;
            r.x_ = a.x_;
            r.y_ = a.y_;
            return r;
        }
        return vkRectangle(static_cast<T>(x0), static_cast<T>(y0), static_cast<T>(x1 - x0),
                           static_cast<T>(y1 - y0));
    }
    vkRectangle& operator&=(const vkRectangle& b) { return *this = *this & b; }

    friend bool operator==(const vkRectangle& a, const vkRectangle& b) {
        return a.x_ == b.x_ && a.y_ == b.y_ && a.w_ == b.w_ && a.h_ == b.h_;
    }
    friend bool operator!=(const vkRectangle& a, const vkRectangle& b) { return !(a == b); }

    // Moves the four edges inward by the given margins; negative margins grow
    // the rectangle. A side that would become negative becomes 0.
    vkRectangle trim(T left, T top, T right, T bottom) const {
        const auto x0 = wide(x_) + left;
        const auto y0 = wide(y_) + top;
        const auto w = std::max<std::int64_t>(0, wide(w_) - left - right);
        const auto h = std::max<std::int64_t>(0, wide(h_) - top - bottom);
        if (!fits(x0) || !fits(y0) || !fits(w) || !fits(h))
            throw vkPel::BadWindow("rectangle trim leaves the coordinate range");
        return vkRectangle(static_cast<T>(x0), static_cast<T>(y0), static_cast<T>(w),
                           static_cast<T>(h));
    }

private:
    static constexpr std::int64_t wide(T v) { return static_cast<std::int64_t>(v); }
    static constexpr bool fits(std::int64_t v) {
        return v >= static_cast<std::int64_t>(std::numeric_limits<T>::min()) &&
               v <= static_cast<std::int64_t>(std::numeric_limits<T>::max());
    }
    void check() const {
        if (w_ < 0 || h_ < 0) throw vkPel::BadWindow("rectangle with a negative width or height");
        if (!fits(wide(x_) + w_) || !fits(wide(y_) + h_))
            throw vkPel::BadWindow("rectangle extends beyond the coordinate range");
    }

    T x_, y_, w_, h_;
};

using vkPelRect = vkRectangle<std::int32_t>;
