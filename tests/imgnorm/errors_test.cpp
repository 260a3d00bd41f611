#include <gtest/gtest.h>
#include <imgnorm/errors.h>

using namespace vkImageNormalizerDefs;

namespace {

template <class K>
void expectKind(std::int32_t number, const char* className) {
    SCOPED_TRACE(className);
    EXPECT_EQ(K().errorNumber(), number);
    try {
        throw K("boom");
    } catch (const Errors& e) {  // caught through the base
        EXPECT_EQ(e.errorNumber(), number);
        EXPECT_STREQ(e.what(), "boom");
    }
    EXPECT_EQ(vk_Instantiator::className(typeid(K)), className);
    EXPECT_TRUE(vk_Instantiator::isRegistered(className));
}

}  // namespace

TEST(Errors, KindsHaveTheirNumbersAndRegisteredNames) {
    expectKind<BadImage>(0x10007A00, "vkImageNormalizerDefs::BadImage");
    expectKind<BadParams>(0x10007A01, "vkImageNormalizerDefs::BadParams");
    expectKind<NotTrained>(0x10007A02, "vkImageNormalizerDefs::NotTrained");
    expectKind<CanNotTrain>(0x10007A03, "vkImageNormalizerDefs::CanNotTrain");
    expectKind<CanNotRun>(0x10007A04, "vkImageNormalizerDefs::CanNotRun");
    expectKind<NotImplemented>(0x10007A0F, "vkImageNormalizerDefs::NotImplemented");
}

TEST(Errors, TwoZeroVersionBytesAndAnUnknownOneNamesTheLevelThatReadIt) {
    BadParams e("bad");
    vkArchive out;
    e.serialize(out);
    const auto good = out.bytes();
    e.serialize(out);  // second visit in the same pass writes nothing
    EXPECT_EQ(out.bytes(), good);
    ASSERT_GE(good.size(), 2u);
    for (std::size_t level = 0; level < 2; ++level) {
        EXPECT_EQ(good[level], 0);
        auto bytes = good;
        bytes[level] = 1;
        vkArchive in(bytes);
        NotTrained target;
        try {
            target.serialize(in);
            ADD_FAILURE() << "no exception at level " << level;
        } catch (const vkArchive::UnknownVersion& u) {
            EXPECT_EQ(u.text(), level == 0 ? "vkImageNormalizerDefs::NotTrained" : "vkImageNormalizerDefs::Errors");
            EXPECT_EQ(u.line(), 0);
        }
    }
}

TEST(Errors, RoundTripThroughTheRegistryAndSuicideAndRethrow) {
    vkPersistent* stored = new CanNotTrain("stored message");
    vkArchive out;
    out || stored;
    delete stored;
    vkArchive in(out.bytes());
    vkPersistent* loaded = nullptr;
    in || loaded;
    auto* e = dynamic_cast<Errors*>(loaded);
    ASSERT_NE(e, nullptr);
    // The heap object is freed by suicideAndRethrow (ASan reports a leak or a
    // double free otherwise) and the thrown copy keeps message and number.
    try {
        e->suicideAndRethrow();
        FAIL();
    } catch (const CanNotTrain& thrown) {
        EXPECT_EQ(thrown.message(), "stored message");
        EXPECT_EQ(thrown.errorNumber(), 0x10007A03);
    }
}
