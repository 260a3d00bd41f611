#include <gtest/gtest.h>
#include <imgnorm/xform.h>

#include "platform/util.h"

TEST(Xform, AngleConstructorPlacesTheAxesAndSingularTransformsHaveNoInverse) {
    // Composition and inversion are exercised by the sampling references.
    const vkXform<2> r(vkVector<2>(5, -2), vkRadian(vkDegree(90.0)), vkRadian(vkDegree(90.0)), 2,
                       3);
    EXPECT_TRUE(vfRealEq(r.map({1, 0}), {5, 0}, 1e-12) && vfRealEq(r.map({0, 1}), {2, -2}, 1e-12));
    EXPECT_THROW(vkXform<2>::scale(0, 1).inverse(), vkPelFunc::BadParams);
    EXPECT_FALSE(vkXform<2>::translation(0, 1e-9).isIdentity());
}
