#include <gtest/gtest.h>
#include <imgnorm/errors.h>

using namespace vkImageNormalizerDefs;

namespace {

// Thrown, the kind is caught through the base with its number; it is registered under its class name.
template <class K>
void expectKind(std::int32_t number, const char* className) {
    try {
        throw K("boom");
    } catch (const Errors& e) {
        EXPECT_EQ(e.errorNumber(), number) << className;
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

TEST(Errors, RoundTripsThroughTheRegistryAndAnUnknownVersionNamesTheLevelThatReadIt) {
    vkPersistent* stored = new CanNotTrain("stored message");
    vkArchive out;
    out || stored;
    delete stored;
    vkPersistent* loaded = nullptr;
    vkArchive in(out.bytes());
    in || loaded;
    // suicideAndRethrow frees the loaded object (else ASan reports it) and throws a copy.
    ASSERT_NE(dynamic_cast<Errors*>(loaded), nullptr);
    try {
        dynamic_cast<Errors*>(loaded)->suicideAndRethrow();
        FAIL() << "no exception";
    } catch (const CanNotTrain& thrown) {
        EXPECT_EQ(thrown.message(), "stored message");
        EXPECT_EQ(thrown.errorNumber(), 0x10007A03);
    }
    // The kind's version byte, then the base's: each must be 0.
    vkArchive plain;
    BadParams("bad").serialize(plain);
    for (std::size_t level = 0; level < 2; ++level) {
        auto bytes = plain.bytes();
        EXPECT_EQ(bytes.at(level), 0);
        bytes[level] = 1;
        vkArchive bad(bytes);
        try {
            NotTrained().serialize(bad);
            ADD_FAILURE() << "no exception at level " << level;
        } catch (const vkArchive::UnknownVersion& u) {
            EXPECT_EQ(u.text(), level == 0 ? "vkImageNormalizerDefs::NotTrained" : "vkImageNormalizerDefs::Errors");
            EXPECT_EQ(u.line(), 0);
        }
    }
}
