#include <gtest/gtest.h>
#include <imgnorm/xform.h>

#include <cmath>

namespace {
void expectNear(const vkVector<2>& a, const vkVector<2>& b) {
    EXPECT_NEAR(a.x(), b.x(), 1e-12);
    EXPECT_NEAR(a.y(), b.y(), 1e-12);
}
}  // namespace

TEST(Xform, EqualAxisAnglesGiveAPureRotation) {
    vkXform<2> r(vkVector<2>(0, 0), vkRadian(vkDegree(90.0)), vkRadian(vkDegree(90.0)), 1.0, 1.0);
    expectNear(r.map({1, 0}), {0, 1});
    expectNear(r.map({0, 1}), {-1, 0});
    EXPECT_NEAR(r.determinant(), 1.0, 1e-15);
}

TEST(Xform, AxisScalesAndTranslation) {
    vkXform<2> x(vkVector<2>(5, -2), vkRadian(0.0), vkRadian(0.0), 2.0, 3.0);
    expectNear(x.map({1, 1}), {7, 1});
}

TEST(Xform, InverseUndoesAndCompositionOrder) {
    vkXform<2> x(vkVector<2>(3, 4), vkRadian(0.3), vkRadian(0.5), 1.5, 0.7);
    vkXform<2> s = vkXform<2>::scale(2, 2);
    expectNear(x.inverse().map(x.map({2.5, -1})), {2.5, -1});
    expectNear((x * s).map({1, 1}), x.map({2, 2}));
    EXPECT_TRUE((x * x.inverse()).isIdentity() || std::fabs((x * x.inverse()).a() - 1) < 1e-12);
}

TEST(Xform, SingularTransformHasNoInverse) {
    EXPECT_THROW(vkXform<2>::scale(0, 1).inverse(), vkPelFunc::BadParams);
}

TEST(Xform, IdentityTestAndDefaultIdentity) {
    EXPECT_TRUE(vk2XformLinear().isIdentity());
    EXPECT_TRUE(vfIdentityXformHandle()->isIdentity());
    EXPECT_FALSE(vkXform<2>::translation(0, 1e-9).isIdentity());
}
